#include "Commands.h"
namespace pdutool {
int RunDecodeLog(const std::string&, bool) { return 2; }
}
