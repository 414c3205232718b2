#include "core/settings.hpp"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/log.hpp"

namespace {

constexpr int line_buffer_size = 16384;

// Used by the main thread alone, at start, before any worker exists.
char line_buffer[line_buffer_size];

// Handed out when even the empty copy cannot be allocated: users of a text
// setting rely on a valid string.
const char empty_text[1] = "";

// The keys korvane reads; any other that starts with the same prefix is
// taken for a misspelling of one of them.
constexpr const char* known_keys[] = {
    "MOD_KORVANE_ENABLED",  "MOD_KORVANE_DEVICE",     "MOD_KORVANE_BAUDRATE",
    "MOD_KORVANE_DATABITS", "MOD_KORVANE_PARITY",     "MOD_KORVANE_STOPBITS",
    "MOD_KORVANE_SPLIT",    "MOD_KORVANE_ADDR",       "MOD_KORVANE_PORT",
    "MOD_KORVANE_TIMEOUT",  "MOD_KORVANE_CACHE_MODE", "MOD_KORVANE_USE_SLAVE_ID",
    "MOD_KORVANE_SLAVE_ID",
    "MOD_KORVANE_DURABLE",
    "MOD_KORVANE_TLS",      "MOD_KORVANE_TLS_CA",     "MOD_KORVANE_TLS_CERT",
    "MOD_KORVANE_TLS_KEY",  "MOD_KORVANE_TLS_NAME",
};
constexpr char key_prefix[] = "MOD_KORVANE_";

// A request ends after 3.5 characters of silence on the line, 11 bits each:
// 38.5 bits, which last 38500 / speed ms.
constexpr std::uint64_t frame_gap_ms_times_speed = 38500;

// The port registered for Modbus over TLS.
constexpr std::uint32_t secure_modbus_port = 802;

bool is_scanf_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next line that holds a "=", cut as every lookup cuts it: the key
// before the first "=", the value after it without its quotes. False at the
// end of the file.
bool read_setting_line(std::FILE* file, const char*& key, const char*& value)
{
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
        key = line_buffer;
        value = equals[1] == '"' ? equals + 2 : equals + 1;
        return true;
    }
    return false;
}

bool is_known_key(const char* key)
{
    for (const char* known : known_keys)
        if (strcasecmp(key, known) == 0)
            return true;
    return false;
}

// A key with korvane's prefix that matches none of its keys is a setting
// someone meant to make; an indented one is never matched either.
void report_unknown_keys(std::FILE* file)
{
    if (file == nullptr)
        return;
    std::rewind(file);
    const char* key = nullptr;
    const char* value = nullptr;
    while (read_setting_line(file, key, value)) {
        const char* name = key + std::strspn(key, " \t");
        if (strncasecmp(name, key_prefix, sizeof key_prefix - 1) == 0 && !is_known_key(key))
            log_message(LOG_WARNING, "unknown setting \"%s\" is ignored", key);
    }
}

// Values korvane cannot use as written: each is named with what is used
// instead, or why it will not work.
void check_values(GatewaySettings& settings)
{
    std::uint32_t speed = settings.baudrate;
    if (!line_speed_known(speed)) {
        speed = fallback_line_speed;
        log_message(LOG_WARNING, "speed %u is not one the serial port can be set to, %u is used",
                    settings.baudrate, speed);
    }
    if (std::uint64_t{settings.split} * speed < frame_gap_ms_times_speed)
        log_message(LOG_WARNING, "split %u ms is shorter than 3.5 characters at %u baud, requests may be cut",
                    settings.split, speed);
    if (settings.timeout > longest_timeout_ms) {
        log_message(LOG_NOTICE, "timeout %u ms is longer than any master waits, %u ms is used",
                    settings.timeout, longest_timeout_ms);
        settings.timeout = longest_timeout_ms;
    }
    if (settings.use_slave_id != 0 && (settings.slave_id < 1 || settings.slave_id > 247))
        log_message(LOG_ERR, "slave id %u is outside 1-247, no request will be answered",
                    settings.slave_id);
    if (settings.tls != 0 && settings.port == 0)
        settings.port = secure_modbus_port;
    if (settings.port < 1 || settings.port > 65535)
        log_message(LOG_ERR, "port %u is outside 1-65535, connections go to port %u", settings.port,
                    settings.port & 0xFFFFu);
    if (settings.device[0] == '\0')
        log_message(LOG_ERR, "no serial device is set");
    if (settings.addr[0] == '\0')
        log_message(LOG_ERR, "no server address is set");
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
    const char* name = nullptr;
    const char* value = nullptr;
    while (read_setting_line(file, name, value))
        if (strcasecmp(key, name) == 0)
            return value;
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
    settings.tls = settings_get_uint(file, "MOD_KORVANE_TLS");
    settings.tls_ca = settings_get_string(file, "MOD_KORVANE_TLS_CA");
    settings.tls_cert = settings_get_string(file, "MOD_KORVANE_TLS_CERT");
    settings.tls_key = settings_get_string(file, "MOD_KORVANE_TLS_KEY");
    settings.tls_name = settings_get_string(file, "MOD_KORVANE_TLS_NAME");
    report_unknown_keys(file);
    check_values(settings);
    if (file != nullptr)
        std::fclose(file);
}
