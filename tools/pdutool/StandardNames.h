// Standard object short names, to list a module's objects by type.
#pragma once

#include <span>

namespace pdutool {

std::span<const char* const> StandardProtocols();
std::span<const char* const> StandardBusTypes();
std::span<const char* const> StandardPinTypes();
std::span<const char* const> StandardIoCtls();
std::span<const char* const> StandardComParams();

}  // namespace pdutool
