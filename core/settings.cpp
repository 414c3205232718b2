#include "core/settings.hpp"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr int line_buffer_size = 16384;

// Used by the main thread alone, at start, before any worker exists.
char line_buffer[line_buffer_size];

// Handed out when even the empty copy cannot be allocated: users of a text
// setting rely on a valid string.
const char empty_text[1] = "";

bool is_scanf_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

int parse_u32(const char* text, std::uint32_t& value)
{
    const char* p = text;
    while (is_scanf_blank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9')
        return 0;
    std::uint64_t number = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (!saturated) {
            number = number * 10 + static_cast<std::uint64_t>(*p - '0');
            if (number > 0xFFFFFFFFull)
                saturated = true;
        }
    }
    // strtoul with a 32-bit unsigned long reports overflow as ULONG_MAX before
    // any negation; only an in-range number is negated.
    if (saturated)
        value = 0xFFFFFFFFu;
    else if (negative)
        value = static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(number));
    else
        value = static_cast<std::uint32_t>(number);
    return 1;
}

const char* settings_lookup(std::FILE* file, const char* key)
{
    if (file == nullptr)
        return nullptr;
    std::rewind(file);
    while (std::fgets(line_buffer, line_buffer_size, file) != nullptr) {
        if (char* cr = std::strchr(line_buffer, '\r'))
            *cr = '\0';
        if (char* lf = std::strchr(line_buffer, '\n'))
            *lf = '\0';
        if (char* quote = std::strrchr(line_buffer, '"'))
            *quote = '\0';
        char* equals = std::strchr(line_buffer, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        if (strcasecmp(key, line_buffer) != 0)
            continue;
        char* value = equals + 1;
        if (*value == '"')
            ++value;
        return value;
    }
    return nullptr;
}

const char* settings_get_string(std::FILE* file, const char* key)
{
    const char* value = settings_lookup(file, key);
    char* copy = value != nullptr ? strdup(value) : static_cast<char*>(std::calloc(1, 1));
    return copy != nullptr ? copy : empty_text;
}

std::uint32_t settings_get_uint(std::FILE* file, const char* key)
{
    const char* value = settings_lookup(file, key);
    std::uint32_t number = 0;
    if (value == nullptr || parse_u32(value, number) != 1)
        return 0;
    return number;
}

void settings_load(GatewaySettings& settings)
{
    std::FILE* file = std::fopen(settings_path, "r");
    settings.enabled = settings_get_uint(file, "MOD_KORVANE_ENABLED");
    settings.device = settings_get_string(file, "MOD_KORVANE_DEVICE");
    settings.baudrate = settings_get_uint(file, "MOD_KORVANE_BAUDRATE");
    settings.databits = settings_get_uint(file, "MOD_KORVANE_DATABITS");
    settings.parity = settings_get_string(file, "MOD_KORVANE_PARITY");
    settings.stopbits = settings_get_uint(file, "MOD_KORVANE_STOPBITS");
    settings.split = settings_get_uint(file, "MOD_KORVANE_SPLIT");
    settings.addr = settings_get_string(file, "MOD_KORVANE_ADDR");
    settings.port = settings_get_uint(file, "MOD_KORVANE_PORT");
    settings.timeout = settings_get_uint(file, "MOD_KORVANE_TIMEOUT");
    settings.cache_mode = settings_get_uint(file, "MOD_KORVANE_CACHE_MODE");
    settings.use_slave_id = settings_get_uint(file, "MOD_KORVANE_USE_SLAVE_ID");
    settings.slave_id = settings_get_uint(file, "MOD_KORVANE_SLAVE_ID");
    settings.durable = settings_get_uint(file, "MOD_KORVANE_DURABLE");
    if (file != nullptr)
        std::fclose(file);
}
