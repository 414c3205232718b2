// The settings file the firmware writes: shell-style KEY=value lines, the
// value optionally in double quotes. Read once at start, never written.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/gateway_settings.hpp"

inline constexpr const char* settings_path = "/opt/korvane/etc/settings";

// Fills every field from the settings file; a missing file gives 0 and
// empty texts. With TLS on, a missing port is 802. Text fields are never null. Logs each value korvane will
// not use as written and each unknown key with korvane's prefix; a timeout
// above 60000 ms is taken as 60000.
void settings_load(GatewaySettings& settings);

// The value of the first line whose whole key equals key (case folded), in a
// process-wide line buffer valid until the next lookup; nullptr if none.
[[nodiscard]] const char* settings_lookup(std::FILE* file, const char* key);

// A heap copy of the value, or an empty string; never null.
[[nodiscard]] const char* settings_get_string(std::FILE* file, const char* key);

// The value read as sscanf's %u reads it where unsigned long has 32 bits, or 0.
[[nodiscard]] std::uint32_t settings_get_uint(std::FILE* file, const char* key);

// That conversion on its own: blanks, one sign, decimal digits; beyond 32 bits
// it saturates at 4294967295, a minus negates modulo 2^32. 1 when a number was
// converted.
[[nodiscard]] int parse_u32(const char* text, std::uint32_t& value);
