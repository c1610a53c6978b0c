// Multi-line log texts of three D-PDU structures. The caller writes the text
// with one LogMain call; the line breaks inside become several log lines.
// Labels are part of the log format (tools parse them) and stay as they are,
// including the "\n\r" that starts most lines of the control-data dump.
#pragma once

#include <string>

#include "pdu_api.h"

namespace pdu::log {

// Ten labelled lines, plus the data line when there are data bytes.
// pExtraInfo may be null (its two lines then show 0).
std::string DumpResultData(const PDU_RESULT_DATA& result);

// Seven lines, plus four or six per expected response.
std::string DumpCopCtrlData(const PDU_COP_CTRL_DATA& ctrl);

// Fourteen lines, one per field, in name order.
std::string DumpVersionData(const PDU_VERSION_DATA& v);

}  // namespace pdu::log
