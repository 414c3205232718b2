// Stick: a cache directory of the fuzzer's names and contents, then a
// sequence of the store-and-forward worker's calls. Records come out oldest
// first, none twice, none that was not a request; a stored message is read
// back byte for byte, and none is lost.
//
// Input: entry count (up to 8), each entry: kind (0 a record name of a 32-bit
// number, 1 a directory of that name, 2 a name of up to 16 bytes), the number
// or the name (its length first), content length (2 bytes, up to 600) and
// content; then operations: 0 deliver the oldest (read, then remove), 1 fail
// to deliver it (read only), 2 add a message to the batch being stored
// (length 6 to 506, then bytes), 3 commit the batch. A read commits first.
#include <cerrno>
#include <dirent.h>
#include <map>
#include <set>
#include <strings.h>
#include <vector>
#include <utility>

#include "modbus/convert.hpp"
#include "store/cache.hpp"
#include "tests/fuzz/fuzz_support.hpp"

// The harness's tmpfs is the stick: the daemon's mount finds it mounted, as
// when the firmware mounted it first.
extern "C" int mount(const char*, const char*, const char*, unsigned long, const void*)
{
    errno = EBUSY;
    return -1;
}

namespace {

using fz::Bytes;

RecordCache cache{};
FrameBuffer* frame;

std::string record_name(std::uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "%09u.bin", static_cast<unsigned>(number));
    return name;
}

std::string in_cache(const std::string& name) { return std::string(cache_dir_path) + "/" + name; }

// The number of a name the daemon itself gives a record, or 0.
std::uint32_t record_number(const std::string& name)
{
    const std::uint32_t number = static_cast<std::uint32_t>(std::strtoul(name.c_str(), nullptr, 10));
    return number >= 1 && number <= 999999999 && record_name(number) == name ? number : 0;
}

std::set<std::string> entries()
{
    std::set<std::string> names;
    DIR* dir = opendir(cache_dir_path);
    FZ_CHECK(dir != nullptr);
    while (const dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.insert(entry->d_name);
    closedir(dir);
    return names;
}

Bytes file_bytes(const std::string& name)
{
    Bytes bytes(1024);
    std::FILE* file = std::fopen(in_cache(name).c_str(), "r");
    FZ_CHECK(file != nullptr);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
    return bytes;
}

// A message still to be delivered, and its age: an earlier run's records
// are older than this run's stores, each group in its own order.
struct Pending {
    Bytes bytes;
    std::pair<int, std::uint32_t> age;
};

// One read of the oldest record, checked against what is pending.
std::uint32_t read_oldest(std::map<std::uint32_t, Pending>& pending)
{
    std::uint32_t number = 0;
    const int read = cache_read_oldest(cache, *frame, number);
    FZ_CHECK(read != cache_read_retry);  // nothing here fails for a while
    if (read == cache_read_none) {
        FZ_CHECK(pending.empty());  // nothing is lost
        return 0;
    }
    const auto found = pending.find(number);
    FZ_CHECK(found != pending.end());  // a request, and not one delivered before
    for (const auto& [other, message] : pending)
        FZ_CHECK(message.age >= found->second.age);  // oldest first
    FZ_CHECK(Bytes(frame->data, frame->data + frame->len) == found->second.bytes);
    return number;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fz::private_mounts({flash_mount_point});
    FZ_CHECK(mkdir(cache_dir_path, 0755) == 0);
    frame = frame_new(frame_capacity);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (const std::string& name : entries())
        FZ_CHECK(unlink(in_cache(name).c_str()) == 0 || rmdir(in_cache(name).c_str()) == 0);
    if (cache.dir != nullptr)
        closedir(cache.dir);
    std::free(cache.found);

    fz::Input in{data, size};
    std::map<std::string, Bytes> files;
    for (int count = in.byte() % 9; count > 0; --count) {
        const std::uint8_t kind = in.byte() % 3;
        std::string name;
        if (kind == 2) {
            const Bytes raw = in.bytes(in.byte() % 17);
            for (const std::uint8_t c : raw)
                name += c == '/' || c == '\0' ? '_' : static_cast<char>(c);
        } else {
            name = record_name(in.u32());
        }
        const Bytes content = in.bytes(in.u16() % 601);
        if (name.empty() || name == "." || name == "..")
            continue;
        if (kind == 1) {
            (void)mkdir(in_cache(name).c_str(), 0755);
            continue;
        }
        const int fd = open(in_cache(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            continue;  // a directory of that name
        FZ_CHECK(write(fd, content.data(), content.size()) == ssize_t(content.size()));
        close(fd);
        files[name] = content;
    }
    // What an earlier run left: each record whose bytes could be a request.
    std::map<std::uint32_t, Pending> pending;
    for (const auto& [name, content] : files) {
        if (const std::uint32_t number = record_number(name);
            number != 0 && content.size() >= min_write_request_len &&
            content.size() <= static_cast<std::size_t>(max_tcp_payload))
            pending[number] = {content, {0, number}};
    }

    FZ_CHECK(cache_init(cache) == 0);
    // A temporary file is never a record: those a power cut left are gone.
    for (const std::string& name : entries())
        FZ_CHECK(!(name.size() == 13 && name.find_first_not_of("0123456789") == 9 &&
                   strcasecmp(name.c_str() + 9, ".tmp") == 0 && files.count(name) != 0));
    std::uint32_t stores = 0;
    std::vector<Bytes> batch;
    std::set<std::string> before_batch;
    // Commits the batch: all its messages become new records holding exactly
    // their bytes, in their order, or none do; no temporary file is left.
    const auto commit = [&] {
        if (batch.empty())
            return;
        const std::int32_t kept = cache_commit(cache);
        std::set<std::string> added = entries();
        for (const std::string& name : before_batch)
            added.erase(name);
        FZ_CHECK(kept >= 0 && added.size() == static_cast<std::size_t>(kept) && kept <= std::int32_t(batch.size()));
        std::size_t index = 0;
        for (const std::string& name : added) {  // in name order, which is number order
            const std::uint32_t number = record_number(name);
            FZ_CHECK(number != 0 && pending.count(number) == 0);
            FZ_CHECK(file_bytes(name) == batch[index]);
            pending[number] = {batch[index++], {1, ++stores}};
        }
        batch.clear();
    };
    for (int steps = 0; steps < 32 && !in.done(); ++steps) {
        const std::uint8_t operation = in.byte() % 4;
        if (operation == 2) {
            const std::size_t length = min_write_request_len + in.u16() % (max_tcp_payload - 5);
            const Bytes message = in.bytes(length);
            if (message.size() != length)
                break;
            std::memcpy(frame->data, message.data(), message.size());
            frame->len = static_cast<std::int32_t>(message.size());
            if (batch.empty())
                before_batch = entries();
            if (cache_add(cache, *frame) == 1)
                batch.push_back(message);
            continue;
        }
        commit();
        if (operation == 3)
            continue;
        const std::uint32_t number = read_oldest(pending);
        if (number != 0 && operation == 0) {
            cache_remove(cache, number);
            pending.erase(number);
            FZ_CHECK(access(in_cache(record_name(number)).c_str(), F_OK) != 0);
        }
    }
    commit();
    // The rest is delivered, every pending message once.
    for (std::size_t left = pending.size() + 1; left > 0; --left) {
        const std::uint32_t number = read_oldest(pending);
        if (number == 0)
            break;
        cache_remove(cache, number);
        pending.erase(number);
    }
    FZ_CHECK(pending.empty());
    return 0;
}
