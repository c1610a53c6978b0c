#include "protocol/ResultData.h"

namespace pdu::protocol {

void FreeResultMembers(PDU_RESULT_DATA* result) {
  if (result == nullptr) return;
  delete[] result->RxFlag.pFlagData;
  result->RxFlag = PDU_FLAG_DATA{0, nullptr};
  delete[] result->TimestampFlags.pFlagData;
  result->TimestampFlags = PDU_FLAG_DATA{0, nullptr};
  if (result->pExtraInfo != nullptr) {
    delete[] result->pExtraInfo->pHeaderBytes;
    delete[] result->pExtraInfo->pFooterBytes;
    delete result->pExtraInfo;
    result->pExtraInfo = nullptr;
  }
  delete[] result->pDataBytes;
  result->pDataBytes = nullptr;
  result->NumDataBytes = 0;
}

void ResultDataDeleter::operator()(PDU_RESULT_DATA* result) const {
  FreeResultMembers(result);
  delete result;
}

ResultDataPtr MakeResultData() { return ResultDataPtr(new PDU_RESULT_DATA{}); }

}  // namespace pdu::protocol
