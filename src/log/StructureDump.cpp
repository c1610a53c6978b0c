#include "log/StructureDump.h"

#include <cstdio>

#include "log/PduLog.h"

namespace pdu::log {
namespace {

// The hex text of one array is built in a fixed buffer: 4096 bytes for flag
// and data arrays, 100 for each mask and pattern. An array that does not fit
// is cut at a whole byte so the text stays readable.
constexpr uint32_t kArrayTextBuffer = 4096;
constexpr uint32_t kMaskTextBuffer = 100;

std::string Hex(const uint8_t* bytes, uint32_t count, uint32_t bufferSize) {
  const uint32_t maxBytes = bufferSize / 3;  // "XX " per byte, the last without blank + NUL
  if (count > maxBytes) count = maxBytes;
  return HexString(bytes, count, true);
}

void AppendNumber(std::string& out, const char* label, uint32_t value) {
  char num[16];
  std::snprintf(num, sizeof num, "%u", value);
  out += label;
  out += num;
}

}  // namespace

std::string DumpResultData(const PDU_RESULT_DATA& r) {
  std::string s;
  AppendNumber(s, "\n\t\t\tpResult->AcceptanceId = ", r.AcceptanceId);
  AppendNumber(s, "\n\t\t\tpResult->UniqueRespIdentifier = ", r.UniqueRespIdentifier);
  AppendNumber(s, "\n\t\t\tpResult->StartMsgTimestamp = ", r.StartMsgTimestamp);
  AppendNumber(s, "\n\t\t\tpResult->TxMsgDoneTimestamp = ", r.TxMsgDoneTimestamp);
  AppendNumber(s, "\n\t\t\tpResult->RxFlag.NumFlagBytes = ", r.RxFlag.NumFlagBytes);
  s += "\n\t\t\tpResult->RxFlag.pFlagData : ";
  s += Hex(r.RxFlag.pFlagData, r.RxFlag.NumFlagBytes, kArrayTextBuffer);
  AppendNumber(s, "\n\t\t\tpResult->TimestampFlags.NumFlagBytes = ", r.TimestampFlags.NumFlagBytes);
  s += "\n\t\t\t\tpResult->TimestampFlags.pFlagData : ";
  s += Hex(r.TimestampFlags.pFlagData, r.TimestampFlags.NumFlagBytes, kArrayTextBuffer);
  const uint32_t header = r.pExtraInfo != nullptr ? r.pExtraInfo->NumHeaderBytes : 0;
  const uint32_t footer = r.pExtraInfo != nullptr ? r.pExtraInfo->NumFooterBytes : 0;
  AppendNumber(s, "\n\t\t\t\tpResult->pExtraInfo->NumHeaderBytes = ", header);
  AppendNumber(s, "\n\t\t\t\tpResult->pExtraInfo->NumFooterBytes = ", footer);
  if (r.NumDataBytes != 0) {
    s += "\n\t\t\t\tpResult->pDataByte = ";
    s += Hex(r.pDataBytes, r.NumDataBytes, kArrayTextBuffer);
  }
  return s;
}

std::string DumpCopCtrlData(const PDU_COP_CTRL_DATA& c) {
  std::string s;
  AppendNumber(s, "\n\t\t\tpCopCtrlData->Time = ", c.Time);
  AppendNumber(s, "\n\r\t\t\tpCopCtrlData->NumSendCycles = ", static_cast<uint32_t>(c.NumSendCycles));
  AppendNumber(s, "\n\r\t\t\tpCopCtrlData->NumReceiveCycles = ", static_cast<uint32_t>(c.NumReceiveCycles));
  AppendNumber(s, "\n\r\t\t\tpCopCtrlData->TempParamUpdate = ", c.TempParamUpdate);
  AppendNumber(s, "\n\r\t\t\tpCopCtrlData->NumFlagBytes = ", c.TxFlag.NumFlagBytes);
  s += "\n\r\t\t\tpCopCtrlData->TxFlag.pFlagData = ";
  s += Hex(c.TxFlag.pFlagData, c.TxFlag.NumFlagBytes, kArrayTextBuffer);
  AppendNumber(s, "\n\r\t\t\tpCopCtrlData->TxFlag.NumPossibleExpectedResponses = ",
               c.NumPossibleExpectedResponses);
  if (c.pExpectedResponseArray == nullptr) return s;
  for (uint32_t i = 0; i < c.NumPossibleExpectedResponses; ++i) {
    const PDU_EXP_RESP_DATA& e = c.pExpectedResponseArray[i];
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "\n\r\t\t\tpCopCtrlData.pExpectedResponseArray[%u", i);
    auto line = [&](const char* label, uint32_t value) {
      s += prefix;
      AppendNumber(s, label, value);
    };
    line("].AcceptanceId = ", e.AcceptanceId);
    line("].NumMaskPatternBytes = ", e.NumMaskPatternBytes);
    line("].NumUniqueRespIds = ", e.NumUniqueRespIds);
    if (e.NumMaskPatternBytes != 0) {
      s += prefix;
      s += "].pMaskData = ";
      s += Hex(e.pMaskData, e.NumMaskPatternBytes, kMaskTextBuffer);
      s += prefix;
      s += "].pPatternData = ";
      s += Hex(e.pPatternData, e.NumMaskPatternBytes, kMaskTextBuffer);
    }
    line("].ResponseType = ", e.ResponseType);
  }
  return s;
}

std::string DumpVersionData(const PDU_VERSION_DATA& v) {
  char dump[2048];
  std::snprintf(dump, sizeof dump,
                "\t\t\tpVersionData->FwDate = %u"
                "\n\t\t\tpVersionData->FwName = %s"
                "\n\t\t\tpVersionData->FwVersion = %u"
                "\n\t\t\tpVersionData->HwDate = %u"
                "\n\t\t\tpVersionData->HwInterface = %u"
                "\n\t\t\tpVersionData->HwName = %s"
                "\n\t\t\tpVersionData->HwSerialNumber = %u"
                "\n\t\t\tpVersionData->HwVersion = %u"
                "\n\t\t\tpVersionData->MVCI_Part1StandardVersion = %u"
                "\n\t\t\tpVersionData->MVCI_Part2StandardVersion = %u"
                "\n\t\t\tpVersionData->PDUApiSwDate = %u"
                "\n\t\t\tpVersionData->PDUApiSwName = %s"
                "\n\t\t\tpVersionData->PDUApiSwVersion = %u"
                "\n\t\t\tpVersionData->VendorName = %s",
                v.FwDate, v.FwName, v.FwVersion, v.HwDate, v.HwInterface, v.HwName, v.HwSerialNumber,
                v.HwVersion, v.MVCI_Part1StandardVersion, v.MVCI_Part2StandardVersion, v.PDUApiSwDate,
                v.PDUApiSwName, v.PDUApiSwVersion, v.VendorName);
  return dump;
}

}  // namespace pdu::log
