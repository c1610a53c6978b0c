#include "api/ApiState.h"

namespace pdu::api {

uint32_t g_hCLLCounter = 0;
uint32_t g_hCoPCounter = 0;
std::array<uint32_t, kTp20Channels> Tp20ChannelTable{};
std::atomic<uint32_t> g_ModuleStatus{0};
void* g_pCoPTag = nullptr;

}  // namespace pdu::api
