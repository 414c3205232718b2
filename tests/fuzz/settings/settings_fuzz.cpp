// Settings: any text as the settings file, read as at start. Text fields are
// never null and hold what the first matching line gives; numbers are that
// value read by the 32-bit rule (sscanf's %u where unsigned long has 32 bits);
// a time-out is at most a minute.
#include <cerrno>

#include "core/settings.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

// strtoul of a 32-bit platform: beyond 32 bits the magnitude saturates
// before any minus sign is applied.
std::uint32_t as_32_bit_strtoul(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text)
        return 0;
    const char* sign = text;
    while (*sign == ' ' || (*sign >= '\t' && *sign <= '\r'))
        ++sign;
    const bool negative = *sign == '-';
    const unsigned long long magnitude = negative ? 0ull - value : value;
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull)
        return 0xFFFFFFFFu;
    return negative ? 0u - static_cast<std::uint32_t>(magnitude) : static_cast<std::uint32_t>(magnitude);
}

struct Number {
    const char* key;
    std::uint32_t GatewaySettings::*field;
};
struct Text {
    const char* key;
    const char* GatewaySettings::*field;
};

constexpr Number numbers[] = {
    {"MOD_KORVANE_ENABLED", &GatewaySettings::enabled},
    {"MOD_KORVANE_BAUDRATE", &GatewaySettings::baudrate},
    {"MOD_KORVANE_DATABITS", &GatewaySettings::databits},
    {"MOD_KORVANE_STOPBITS", &GatewaySettings::stopbits},
    {"MOD_KORVANE_SPLIT", &GatewaySettings::split},
    {"MOD_KORVANE_PORT", &GatewaySettings::port},
    {"MOD_KORVANE_TIMEOUT", &GatewaySettings::timeout},
    {"MOD_KORVANE_CACHE_MODE", &GatewaySettings::cache_mode},
    {"MOD_KORVANE_USE_SLAVE_ID", &GatewaySettings::use_slave_id},
    {"MOD_KORVANE_SLAVE_ID", &GatewaySettings::slave_id},
    {"MOD_KORVANE_TLS", &GatewaySettings::tls},
};
constexpr Text texts[] = {
    {"MOD_KORVANE_DEVICE", &GatewaySettings::device},
    {"MOD_KORVANE_PARITY", &GatewaySettings::parity},
    {"MOD_KORVANE_ADDR", &GatewaySettings::addr},
    {"MOD_KORVANE_TLS_CA", &GatewaySettings::tls_ca},
    {"MOD_KORVANE_TLS_CERT", &GatewaySettings::tls_cert},
    {"MOD_KORVANE_TLS_KEY", &GatewaySettings::tls_key},
    {"MOD_KORVANE_TLS_NAME", &GatewaySettings::tls_name},
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fz::private_mounts({"/opt/korvane/etc"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = open(settings_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    FZ_CHECK(fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);

    GatewaySettings settings{};
    settings_load(settings);

    std::FILE* file = std::fopen(settings_path, "r");
    FZ_CHECK(file != nullptr);
    for (const Text& text : texts) {
        const char* value = settings.*text.field;
        FZ_CHECK(value != nullptr);
        const char* line = settings_lookup(file, text.key);
        FZ_CHECK(std::strcmp(value, line != nullptr ? line : "") == 0);
        std::free(const_cast<char*>(value));
    }
    for (const Number& number : numbers) {
        const char* line = settings_lookup(file, number.key);
        std::uint32_t read = line != nullptr ? as_32_bit_strtoul(line) : 0u;
        if (number.field == &GatewaySettings::timeout && read > 60000u)
            read = 60000u;
        // With the secure link on and no port, the port of Modbus over TLS.
        if (number.field == &GatewaySettings::port && read == 0 && settings.tls != 0)
            read = 802;
        FZ_CHECK(settings.*number.field == read);
    }
    std::fclose(file);
    return 0;
}
