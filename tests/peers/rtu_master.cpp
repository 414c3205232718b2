// rtu_master: a Modbus RTU master on libmodbus, for driving korvane from the
// serial side through a tty (a pty end).
//
//   rtu_master --device PATH [--baud N] [--parity N|E|O] [--unit ID]
//              [--timeout MS] [--trace] COMMAND ARGS...
//
// Commands (register addresses are PDU addresses, from 0):
//   read ADDR COUNT           read holding registers      -> "ok V1 V2 ..."
//   write ADDR VALUE          write one register          -> "ok"
//   write-multiple ADDR V...  write several registers     -> "ok"
//   raw HEX...                send the bytes and their CRC as they are, print
//                             what comes back             -> "answer 01 03 ..."
//                             (add --no-crc to send the bytes alone)
//   soak N [--span S] [--base ADDR] [--seed S]
//                             N transactions (writes, multiple writes, reads)
//                             over S registers from ADDR, every read checked
//                             against what was written; prints
//                             "progress I wrong W missing M" after each
//                             thousand and "soak N ok K wrong W missing M"
// A Modbus exception prints "exception CODE" (exit 2), no answer in time
// "timeout" (exit 3), anything else "error: TEXT" (exit 1).
// --trace sends read/write/write-multiple as raw frames and prints the
// request, the answer as it came off the line and the round-trip time.
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <modbus/modbus.h>

#include "peer_util.hpp"

namespace {

enum Exit { exit_ok = 0, exit_error = 1, exit_exception = 2, exit_timeout = 3, exit_usage = 64 };

constexpr int fc_read_holding = 3;
constexpr int fc_write_single = 6;
constexpr int fc_write_multiple = 16;
// The most registers one read may ask for, and one write may carry.
constexpr long max_read_count = 125;
constexpr long max_write_count = 123;

struct Options {
    std::string device;
    long baud = 19200;
    char parity = 'N';
    long unit = 1;
    long timeout_ms = 1000;
    bool trace = false;
    bool crc = true;
    std::vector<std::string> command;
};

bool parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!options.command.empty() || word.rfind("--", 0) != 0) {
            // Options of a command (soak's --span...) stay with the command.
            if (word == "--no-crc") {
                options.crc = false;
                continue;
            }
            options.command.push_back(word);
            continue;
        }
        if (word == "--trace") {
            options.trace = true;
            continue;
        }
        if (word == "--no-crc") {
            options.crc = false;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (word == "--device") {
            options.device = value;
        } else if (word == "--baud") {
            if (!peer::parse_number(value, 50, 4000000, options.baud))
                return false;
        } else if (word == "--parity") {
            if (value != "N" && value != "E" && value != "O")
                return false;
            options.parity = value[0];
        } else if (word == "--unit") {
            if (!peer::parse_number(value, 0, 247, options.unit))
                return false;
        } else if (word == "--timeout") {
            if (!peer::parse_number(value, 1, 600000, options.timeout_ms))
                return false;
        } else {
            return false;
        }
    }
    return !options.device.empty() && !options.command.empty();
}

enum class Outcome { ok, exception, timeout, error };

struct Result {
    Outcome outcome = Outcome::ok;
    int code = 0;            // exception code
    std::string error;       // error text
};

// libmodbus reports an exception answer as errno MODBUS_ENOBASE + code.
Result classify_errno(int error)
{
    Result result;
    if (error > MODBUS_ENOBASE && error <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET) {
        result.outcome = Outcome::exception;
        result.code = error - MODBUS_ENOBASE;
    } else if (error == ETIMEDOUT) {
        result.outcome = Outcome::timeout;
    } else {
        result.outcome = Outcome::error;
        result.error = modbus_strerror(error);
    }
    return result;
}

int report(const Result& result, const std::string& success_text)
{
    switch (result.outcome) {
    case Outcome::ok:
        std::printf("%s\n", success_text.c_str());
        return exit_ok;
    case Outcome::exception:
        std::printf("exception %d\n", result.code);
        return exit_exception;
    case Outcome::timeout:
        std::printf("timeout\n");
        return exit_timeout;
    case Outcome::error:
        break;
    }
    std::printf("error: %s\n", result.error.c_str());
    return exit_error;
}

bool parse_values(const std::vector<std::string>& words, std::size_t from, std::vector<std::uint16_t>& values)
{
    for (std::size_t i = from; i < words.size(); ++i) {
        long value = 0;
        if (!peer::parse_number(words[i], 0, 65535, value))
            return false;
        values.push_back(static_cast<std::uint16_t>(value));
    }
    return true;
}

void put_u16(std::vector<std::uint8_t>& frame, unsigned value)
{
    frame.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Reads what the line sends: waits up to first_ms for a first byte, then
// until it has been quiet for quiet_ms.
std::vector<std::uint8_t> read_line_answer(int fd, long first_ms, long quiet_ms)
{
    std::vector<std::uint8_t> answer;
    long wait_ms = first_ms;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
        const int ready = select(fd + 1, &set, nullptr, nullptr, &tv);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return answer;
        std::uint8_t chunk[512];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0)
            return answer;
        answer.insert(answer.end(), chunk, chunk + got);
        wait_ms = quiet_ms;
    }
}

// --trace: the request goes out as raw bytes through libmodbus's RTU framing,
// and the answer is printed as it came back, CRC included.
Result traced_exchange(modbus_t* ctx, const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& answer)
{
    std::vector<std::uint8_t> sealed = request;
    peer::append_crc(sealed);
    std::printf("request  %s\n", peer::hex(sealed).c_str());
    const double start = peer::now_ms();
    if (modbus_send_raw_request(ctx, request.data(), static_cast<int>(request.size())) < 0)
        return classify_errno(errno);
    std::uint8_t raw[MODBUS_RTU_MAX_ADU_LENGTH];
    const int length = modbus_receive_confirmation(ctx, raw);
    const double elapsed = peer::now_ms() - start;
    if (length < 0) {
        std::printf("answer   (none)\nrtt      %.3f ms\n", elapsed);
        return classify_errno(errno);
    }
    answer.assign(raw, raw + length);
    std::printf("answer   %s\nrtt      %.3f ms\n", peer::hex(answer).c_str(), elapsed);
    Result result;
    if (length >= 5 && (answer[1] & 0x80) != 0) {
        result.outcome = Outcome::exception;
        result.code = answer[2];
    } else if (length < 4 || answer[1] != request[1]) {
        result.outcome = Outcome::error;
        result.error = "unexpected answer";
    }
    return result;
}

int command_read(modbus_t* ctx, const Options& options)
{
    long address = 0;
    long count = 0;
    if (options.command.size() != 3 || !peer::parse_number(options.command[1], 0, 65535, address) ||
        !peer::parse_number(options.command[2], 1, max_read_count, count))
        return exit_usage;
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    Result result;
    if (options.trace) {
        std::vector<std::uint8_t> request{static_cast<std::uint8_t>(options.unit), fc_read_holding};
        put_u16(request, static_cast<unsigned>(address));
        put_u16(request, static_cast<unsigned>(count));
        std::vector<std::uint8_t> answer;
        result = traced_exchange(ctx, request, answer);
        if (result.outcome == Outcome::ok) {
            if (answer.size() != static_cast<std::size_t>(5 + 2 * count) || answer[2] != 2 * count) {
                result.outcome = Outcome::error;
                result.error = "answer of the wrong size";
            } else {
                for (long i = 0; i < count; ++i)
                    values[static_cast<std::size_t>(i)] =
                        static_cast<std::uint16_t>((answer[static_cast<std::size_t>(3 + 2 * i)] << 8) |
                                                   answer[static_cast<std::size_t>(4 + 2 * i)]);
            }
        }
    } else if (modbus_read_registers(ctx, static_cast<int>(address), static_cast<int>(count), values.data()) < 0) {
        result = classify_errno(errno);
    }
    std::string text = "ok";
    for (const std::uint16_t value : values) {
        text += ' ';
        text += std::to_string(value);
    }
    return report(result, text);
}

int command_write(modbus_t* ctx, const Options& options, bool multiple)
{
    long address = 0;
    std::vector<std::uint16_t> values;
    if (options.command.size() < 3 || !peer::parse_number(options.command[1], 0, 65535, address) ||
        !parse_values(options.command, 2, values) || (!multiple && values.size() != 1) ||
        values.size() > static_cast<std::size_t>(max_write_count))
        return exit_usage;
    Result result;
    if (options.trace) {
        std::vector<std::uint8_t> request{static_cast<std::uint8_t>(options.unit),
                                          static_cast<std::uint8_t>(multiple ? fc_write_multiple : fc_write_single)};
        put_u16(request, static_cast<unsigned>(address));
        if (multiple) {
            put_u16(request, static_cast<unsigned>(values.size()));
            request.push_back(static_cast<std::uint8_t>(2 * values.size()));
        }
        for (const std::uint16_t value : values)
            put_u16(request, value);
        std::vector<std::uint8_t> answer;
        result = traced_exchange(ctx, request, answer);
    } else {
        const int rc = multiple ? modbus_write_registers(ctx, static_cast<int>(address), static_cast<int>(values.size()),
                                                         values.data())
                                : modbus_write_register(ctx, static_cast<int>(address), values[0]);
        if (rc < 0)
            result = classify_errno(errno);
    }
    return report(result, "ok");
}

int command_raw(modbus_t* ctx, const Options& options)
{
    std::vector<std::uint8_t> frame;
    const std::vector<std::string> words(options.command.begin() + 1, options.command.end());
    if (words.empty() || !peer::parse_hex_bytes(words, frame))
        return exit_usage;
    if (options.crc)
        peer::append_crc(frame);
    const int fd = modbus_get_socket(ctx);
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        std::printf("error: write: %s\n", std::strerror(errno));
        return exit_error;
    }
    const std::vector<std::uint8_t> answer = read_line_answer(fd, options.timeout_ms, 50);
    if (answer.empty()) {
        std::printf("timeout\n");
        return exit_timeout;
    }
    std::printf("answer %s\n", peer::hex(answer).c_str());
    return exit_ok;
}

struct SoakCounts {
    long done = 0;
    long ok = 0;
    long wrong = 0;
    long missing = 0;
};

void soak_record(SoakCounts& counts, const Result& result, bool values_match)
{
    ++counts.done;
    if (result.outcome == Outcome::timeout)
        ++counts.missing;
    else if (result.outcome != Outcome::ok || !values_match)
        ++counts.wrong;
    else
        ++counts.ok;
}

// Writes and multiple writes with random values over a window of registers,
// and reads whose values are checked against what was written. A write that
// got no answer leaves its registers unknown until they are written again.
int command_soak(modbus_t* ctx, const Options& options)
{
    long total = 0;
    long span = 64;
    long base = 100;
    long seed = 1;
    const auto& words = options.command;
    if (words.size() < 2 || !peer::parse_number(words[1], 1, 100000000, total))
        return exit_usage;
    for (std::size_t i = 2; i < words.size(); i += 2) {
        if (i + 1 >= words.size())
            return exit_usage;
        long* target = words[i] == "--span" ? &span : words[i] == "--base" ? &base : words[i] == "--seed" ? &seed : nullptr;
        if (target == nullptr || !peer::parse_number(words[i + 1], 0, 65535, *target))
            return exit_usage;
    }
    if (span < 1 || base + span > 65536)
        return exit_usage;

    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    auto pick = [&random](long low, long high) {
        return std::uniform_int_distribution<long>(low, high)(random);
    };
    std::vector<std::uint16_t> model(static_cast<std::size_t>(span), 0);
    std::vector<bool> known(static_cast<std::size_t>(span), false);
    SoakCounts counts;

    while (counts.done < total) {
        const long kind = counts.done % 4;
        const long max_count = std::min<long>(span, kind == 1 ? max_write_count : max_read_count);
        const long count = kind == 0 ? 1 : pick(1, std::min<long>(max_count, 16));
        const long offset = pick(0, span - count);
        const int address = static_cast<int>(base + offset);
        std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
        Result result;
        bool match = true;
        if (kind == 0 || kind == 1) {
            for (auto& value : values)
                value = static_cast<std::uint16_t>(pick(0, 65535));
            const int rc = kind == 0 ? modbus_write_register(ctx, address, values[0])
                                     : modbus_write_registers(ctx, address, static_cast<int>(count), values.data());
            if (rc < 0)
                result = classify_errno(errno);
            for (long i = 0; i < count; ++i) {
                const auto slot = static_cast<std::size_t>(offset + i);
                model[slot] = values[static_cast<std::size_t>(i)];
                known[slot] = result.outcome == Outcome::ok;
            }
        } else {
            if (modbus_read_registers(ctx, address, static_cast<int>(count), values.data()) < 0)
                result = classify_errno(errno);
            for (long i = 0; result.outcome == Outcome::ok && i < count; ++i) {
                const auto slot = static_cast<std::size_t>(offset + i);
                if (known[slot] && model[slot] != values[static_cast<std::size_t>(i)])
                    match = false;
            }
        }
        soak_record(counts, result, match);
        if (result.outcome == Outcome::timeout) {
            // A late answer must not be taken for the next one.
            (void)modbus_flush(ctx);
        }
        if (counts.done % 1000 == 0) {
            std::printf("progress %ld wrong %ld missing %ld\n", counts.done, counts.wrong, counts.missing);
            std::fflush(stdout);
        }
    }
    std::printf("soak %ld ok %ld wrong %ld missing %ld\n", counts.done, counts.ok, counts.wrong, counts.missing);
    return counts.wrong == 0 && counts.missing == 0 ? exit_ok : exit_error;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: rtu_master --device PATH [--baud N] [--parity N|E|O] [--unit ID]\n"
                     "                  [--timeout MS] [--trace] COMMAND ARGS...\n"
                     "commands: read ADDR COUNT | write ADDR VALUE | write-multiple ADDR V... |\n"
                     "          raw [--no-crc] HEX... | soak N [--span S] [--base ADDR] [--seed S]\n");
        return exit_usage;
    }
    modbus_t* ctx = modbus_new_rtu(options.device.c_str(), static_cast<int>(options.baud), options.parity, 8, 1);
    if (ctx == nullptr) {
        std::printf("error: %s\n", modbus_strerror(errno));
        return exit_error;
    }
    modbus_set_slave(ctx, static_cast<int>(options.unit));
    modbus_set_response_timeout(ctx, static_cast<std::uint32_t>(options.timeout_ms / 1000),
                                static_cast<std::uint32_t>((options.timeout_ms % 1000) * 1000));
    if (modbus_connect(ctx) != 0) {
        std::printf("error: %s: %s\n", options.device.c_str(), modbus_strerror(errno));
        return exit_error;
    }

    const std::string& name = options.command[0];
    int status = exit_usage;
    if (name == "read")
        status = command_read(ctx, options);
    else if (name == "write")
        status = command_write(ctx, options, false);
    else if (name == "write-multiple")
        status = command_write(ctx, options, true);
    else if (name == "raw")
        status = command_raw(ctx, options);
    else if (name == "soak")
        status = command_soak(ctx, options);
    if (status == exit_usage)
        std::fprintf(stderr, "rtu_master: bad command line for %s\n", name.c_str());
    std::fflush(stdout);
    modbus_close(ctx);
    modbus_free(ctx);
    return status;
}
