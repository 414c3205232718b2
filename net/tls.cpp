#include "net/tls.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "net/descriptors.hpp"

#if KORVANE_WITH_TLS

#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <mbedtls/asn1.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace {

// Why the last handshake failed: a failure of the same kind as the one
// before is not logged again until a handshake succeeds.
enum Failure {
    failure_none,
    failure_untrusted,
    failure_not_yet_valid,
    failure_expired,
    failure_wrong_name,
    failure_unverified,
    failure_refused,
    failure_alert,
    failure_bad_record,
    failure_closed,
    failure_timed_out,
};

// The one connection's state. Set up by tls_init on the main thread before
// the network worker starts; from then on the worker is its only user.
struct TlsState {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_x509_crt authority;
    mbedtls_x509_crt own_chain;
    mbedtls_pk_context own_key;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_session saved;  // the last session, offered for resumption
    bool have_saved;
    bool usable;
    bool own_certificate;       // korvane has a certificate to present
    int fd;                     // the socket the library reads and writes
    int recv_errno;             // of the last failed receive
    const char* ca_path;
    const char* name;           // what the server's certificate must carry
    in_addr address;            // name as a dotted address; 0 when a host name
    // What the verification of this handshake found. A resumed handshake
    // sends no certificate, so nothing is verified and seen stays false.
    bool seen;
    std::uint32_t flags;
    mbedtls_x509_time valid_from;
    mbedtls_x509_time valid_to;
    Failure last_failure;
};

TlsState tls;

// The kernel's random generator: getrandom() where the kernel has it (3.17
// and later), else /dev/urandom. Added as a source of its own because the
// library looks for the system call only behind a glibc macro, and the
// static builds use musl.
int kernel_random(void*, unsigned char* output, size_t length, size_t* produced)
{
    ssize_t got = getrandom(output, length, 0);
    if (got < 0 && errno == ENOSYS) {
        const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        got = fd < 0 ? -1 : read(fd, output, length);
        if (fd >= 0)
            close(fd);
    }
    if (got < 0)
        return MBEDTLS_ERR_ENTROPY_SOURCE_FAILED;
    *produced = static_cast<size_t>(got);
    return 0;
}

int send_record(void* context, const unsigned char* data, size_t length)
{
    const int fd = *static_cast<const int*>(context);
    const ssize_t sent = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0)
        return static_cast<int>(sent);
    return errno == EAGAIN || errno == EWOULDBLOCK ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
}

int receive_record(void* context, unsigned char* data, size_t length)
{
    const int fd = *static_cast<const int*>(context);
    const ssize_t got = recv(fd, data, length, MSG_DONTWAIT);
    if (got >= 0)
        return static_cast<int>(got);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return MBEDTLS_ERR_SSL_WANT_READ;
    tls.recv_errno = errno;
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

// Whether the certificate's subjectAltName holds the iPAddress address.
// The library compares only host names (CN and dNSName entries) with the
// name it is given; a dNSName that merely reads "192.0.2.1" must not count
// as the address, so the raw extensions are searched for the address entry.
bool carries_address(const mbedtls_x509_crt& certificate, in_addr address)
{
    unsigned char* p = certificate.v3_ext.p;
    if (p == nullptr)
        return false;
    const unsigned char* const end = p + certificate.v3_ext.len;
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    // Extension ::= SEQUENCE { extnID OID, critical BOOLEAN DEFAULT FALSE, extnValue OCTET STRING }
    while (p < end) {
        if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
            return false;
        const unsigned char* const extension_end = p + length;
        size_t oid_length = 0;
        if (mbedtls_asn1_get_tag(&p, extension_end, &oid_length, MBEDTLS_ASN1_OID) != 0)
            return false;
        const bool alt_name = oid_length == MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME) &&
                              std::memcmp(p, MBEDTLS_OID_SUBJECT_ALT_NAME, oid_length) == 0;
        p += oid_length;
        int critical = 0;
        (void)mbedtls_asn1_get_bool(&p, extension_end, &critical);
        size_t value_length = 0;
        if (mbedtls_asn1_get_tag(&p, extension_end, &value_length, MBEDTLS_ASN1_OCTET_STRING) != 0)
            return false;
        if (alt_name) {
            // GeneralNames ::= SEQUENCE OF GeneralName; iPAddress is [7], four bytes for IPv4.
            unsigned char* q = p;
            const unsigned char* const names_end = p + value_length;
            if (mbedtls_asn1_get_tag(&q, names_end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
                return false;
            while (q < names_end) {
                const unsigned char tag = *q++;
                size_t name_length = 0;
                if (mbedtls_asn1_get_len(&q, names_end, &name_length) != 0)
                    return false;
                if (tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7) && name_length == sizeof address &&
                    std::memcmp(q, &address, sizeof address) == 0)
                    return true;
                q += name_length;
            }
        }
        p = const_cast<unsigned char*>(extension_end);
    }
    return false;
}

int verify_certificate(void*, mbedtls_x509_crt* certificate, int depth, std::uint32_t* flags)
{
    if (depth == 0) {
        tls.seen = true;
        tls.valid_from = certificate->valid_from;
        tls.valid_to = certificate->valid_to;
        if (tls.address.s_addr != 0 && !carries_address(*certificate, tls.address))
            *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    }
    tls.flags |= *flags;
    return 0;
}

// "2026-12-08 13:05 UTC"
void format_time(char* out, std::size_t size, const mbedtls_x509_time& at)
{
    std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d UTC", at.year, at.mon, at.day, at.hour, at.min);
}

void format_now(char* out, std::size_t size)
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d UTC", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min);
}

bool first_of_spell(Failure kind)
{
    const bool first = tls.last_failure != kind;
    tls.last_failure = kind;
    return first;
}

// A certificate that does not verify: the most telling reason first. An
// impostor's certificate may also be out of date or made out to another
// name; that it comes from an unknown authority is what matters.
void report_verification()
{
    char from[64];
    char to[64];
    char now[64];
    format_time(from, sizeof from, tls.valid_from);
    format_time(to, sizeof to, tls.valid_to);
    format_now(now, sizeof now);
    const std::uint32_t flags = tls.flags;
    if ((flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) != 0) {
        if (first_of_spell(failure_untrusted))
            log_message(LOG_ERR, "TLS: the server's certificate is not signed by the authority in %s", tls.ca_path);
    } else if ((flags & MBEDTLS_X509_BADCERT_FUTURE) != 0) {
        if (first_of_spell(failure_not_yet_valid))
            log_message(LOG_ERR, "TLS: the device clock (%s) is before the start of the server's certificate (%s): set the clock",
                        now, from);
    } else if ((flags & MBEDTLS_X509_BADCERT_EXPIRED) != 0) {
        if (first_of_spell(failure_expired))
            log_message(LOG_ERR, "TLS: the server's certificate expired on %s (device clock %s)", to, now);
    } else if ((flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) != 0) {
        if (first_of_spell(failure_wrong_name))
            log_message(LOG_ERR, "TLS: the server's certificate is not made out to %s", tls.name);
    } else if (first_of_spell(failure_unverified)) {
        log_message(LOG_ERR, "TLS: the server's certificate does not verify (flags 0x%x)", static_cast<unsigned>(flags));
    }
}

// TLS alerts that say the server would not take the client's certificate.
bool is_certificate_alert(unsigned alert)
{
    return alert == MBEDTLS_SSL_ALERT_MSG_HANDSHAKE_FAILURE || alert == MBEDTLS_SSL_ALERT_MSG_BAD_CERT ||
           alert == MBEDTLS_SSL_ALERT_MSG_UNSUPPORTED_CERT || alert == MBEDTLS_SSL_ALERT_MSG_CERT_REVOKED ||
           alert == MBEDTLS_SSL_ALERT_MSG_CERT_EXPIRED || alert == MBEDTLS_SSL_ALERT_MSG_CERT_UNKNOWN ||
           alert == MBEDTLS_SSL_ALERT_MSG_UNKNOWN_CA || alert == MBEDTLS_SSL_ALERT_MSG_ACCESS_DENIED ||
           alert == 116;  // certificate_required (TLS 1.3 servers send it to 1.2 clients too)
}

// The server asked for korvane's certificate, then ended the handshake.
void report_refused()
{
    if (!first_of_spell(failure_refused))
        return;
    if (tls.own_certificate)
        log_message(LOG_ERR, "TLS: the server refused korvane's certificate");
    else
        log_message(LOG_ERR, "TLS: the server asks for korvane's certificate and none is set");
}

void report_failure(int error)
{
    count(counters.tls_failures);
    if (error == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        report_verification();
        return;
    }
    if (error == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE) {
        const unsigned alert = tls.ssl.in_msg != nullptr ? tls.ssl.in_msg[1] : 0;
        if (tls.ssl.client_auth != 0 && is_certificate_alert(alert)) {
            report_refused();
        } else if (first_of_spell(failure_alert)) {
            log_message(LOG_ERR, "TLS: the server ended the handshake with alert %u", alert);
        }
        return;
    }
    if (error == MBEDTLS_ERR_SSL_CONN_EOF || error == MBEDTLS_ERR_NET_RECV_FAILED ||
        error == MBEDTLS_ERR_NET_SEND_FAILED) {
        // A server that asked for korvane's certificate and ends the link
        // once it has it refused it: servers close at once after the alert
        // and its unread records turn the close into a reset, which takes
        // the alert with it.
        if (tls.ssl.client_auth != 0 && tls.ssl.state >= MBEDTLS_SSL_CLIENT_CERTIFICATE)
            report_refused();
        else if (first_of_spell(failure_closed))
            log_message(LOG_ERR, "TLS: the server closed the connection during the handshake");
        return;
    }
    if (first_of_spell(failure_bad_record))
        log_message(LOG_ERR, "TLS: the server sent a bad record or message (error -0x%04X)",
                    static_cast<unsigned>(-error));
}

// The file can be opened for reading; else its line, and false.
bool readable(const char* what, const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        log_message(LOG_ERR, "TLS: %s %s cannot be read (%s), no connection will be made", what, path,
                    std::strerror(errno));
        return false;
    }
    std::fclose(file);
    return true;
}

bool load_authority(const char* path)
{
    if (path[0] == '\0') {
        log_message(LOG_ERR, "TLS: no certificate authority is set (MOD_KORVANE_TLS_CA), no connection will be made");
        return false;
    }
    if (!readable("certificate authority", path))
        return false;
    if (mbedtls_x509_crt_parse_file(&tls.authority, path) != 0) {
        log_message(LOG_ERR, "TLS: %s holds no usable certificate, no connection will be made", path);
        return false;
    }
    return true;
}

// korvane's own certificate and key: both or neither. A key that others
// may read is still used, but said.
bool load_own(const char* certificate, const char* key)
{
    if (certificate[0] == '\0' && key[0] == '\0')
        return true;
    if (certificate[0] == '\0' || key[0] == '\0') {
        log_message(LOG_ERR, "TLS: MOD_KORVANE_TLS_CERT and MOD_KORVANE_TLS_KEY are set only together, no connection will be made");
        return false;
    }
    if (!readable("certificate", certificate) || !readable("key", key))
        return false;
    if (mbedtls_x509_crt_parse_file(&tls.own_chain, certificate) != 0) {
        log_message(LOG_ERR, "TLS: %s holds no usable certificate, no connection will be made", certificate);
        return false;
    }
    const int parsed = mbedtls_pk_parse_keyfile(&tls.own_key, key, nullptr);
    if (parsed == MBEDTLS_ERR_PK_PASSWORD_REQUIRED) {
        log_message(LOG_ERR, "TLS: the key in %s is encrypted, no connection will be made", key);
        return false;
    }
    if (parsed != 0) {
        log_message(LOG_ERR, "TLS: %s holds no usable private key, no connection will be made", key);
        return false;
    }
    if (mbedtls_pk_check_pair(&tls.own_chain.pk, &tls.own_key) != 0) {
        log_message(LOG_ERR, "TLS: the key in %s does not match the certificate in %s, no connection will be made",
                    key, certificate);
        return false;
    }
    struct stat status{};
    if (stat(key, &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
        log_message(LOG_WARNING, "TLS: the key in %s can be read by others (mode %04o)", key,
                    static_cast<unsigned>(status.st_mode & 07777));
    tls.own_certificate = true;
    return true;
}

bool set_up(const GatewaySettings& settings)
{
    const char* const personal = "korvane";
    // The source counts once it has given 32 bytes: a 256-bit seed.
    const int added = mbedtls_entropy_add_source(&tls.entropy, kernel_random, nullptr, 32,
                                                 MBEDTLS_ENTROPY_SOURCE_STRONG);
    const int seeded = added != 0 ? added : mbedtls_ctr_drbg_seed(&tls.random, mbedtls_entropy_func, &tls.entropy,
                                             reinterpret_cast<const unsigned char*>(personal), std::strlen(personal));
    if (seeded != 0) {
        log_message(LOG_ERR, "TLS: no source of randomness (error -0x%04X), no connection will be made",
                    static_cast<unsigned>(-seeded));
        return false;
    }
    if (mbedtls_ssl_config_defaults(&tls.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
        return false;
    // TLS 1.2 at least; the library offers nothing newer to a client.
    mbedtls_ssl_conf_min_version(&tls.config, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(&tls.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&tls.config, &tls.authority, nullptr);
    mbedtls_ssl_conf_verify(&tls.config, verify_certificate, nullptr);
    mbedtls_ssl_conf_rng(&tls.config, mbedtls_ctr_drbg_random, &tls.random);
    if (tls.own_certificate && mbedtls_ssl_conf_own_cert(&tls.config, &tls.own_chain, &tls.own_key) != 0)
        return false;
    if (mbedtls_ssl_setup(&tls.ssl, &tls.config) != 0)
        return false;
    tls.name = settings.tls_name[0] != '\0' ? settings.tls_name : settings.addr;
    // A dotted address is checked against the certificate's address
    // entries, never as a host name.
    if (inet_pton(AF_INET, tls.name, &tls.address) != 1) {
        tls.address.s_addr = 0;
        if (mbedtls_ssl_set_hostname(&tls.ssl, tls.name) != 0)
            return false;
    }
    mbedtls_ssl_set_bio(&tls.ssl, &tls.fd, send_record, receive_record, nullptr);
    return true;
}

// The socket of a handshake that did not finish: never connected as far
// as anyone is concerned, so it goes without "connection was closed".
int abandon(int& fd_slot)
{
    // A session ended by a failed handshake is not offered again: the
    // next attempt is a full handshake (some servers cannot resume a
    // session whose client sent a certificate, and fail the attempt).
    if (tls.have_saved) {
        mbedtls_ssl_session_free(&tls.saved);
        mbedtls_ssl_session_init(&tls.saved);
        tls.have_saved = false;
    }
    close(fd_slot);
    fd_slot = -1;
    return 0;
}

} // namespace

int tls_init(const GatewaySettings& settings)
{
    if (settings.tls == 0)
        return 0;
    set_counter(counters.tls_on, 1);
    mbedtls_entropy_init(&tls.entropy);
    mbedtls_ctr_drbg_init(&tls.random);
    mbedtls_x509_crt_init(&tls.authority);
    mbedtls_x509_crt_init(&tls.own_chain);
    mbedtls_pk_init(&tls.own_key);
    mbedtls_ssl_config_init(&tls.config);
    mbedtls_ssl_init(&tls.ssl);
    mbedtls_ssl_session_init(&tls.saved);
    tls.fd = -1;
    tls.ca_path = settings.tls_ca;
    // Every file is looked at, so that each problem has its line at once.
    const bool authority = load_authority(settings.tls_ca);
    const bool own = load_own(settings.tls_cert, settings.tls_key);
    if (!authority || !own)
        return 0;
    if (!set_up(settings)) {
        log_message(LOG_ERR, "TLS cannot be set up, no connection will be made");
        return 1;
    }
    tls.usable = true;
    return 0;
}

bool tls_usable()
{
    return tls.usable;
}

int tls_connect(int& fd_slot, std::int64_t deadline, int stop_fd)
{
    if (fd_slot < 0)
        return 0;
    if (!tls.usable)
        return abandon(fd_slot);
    (void)mbedtls_ssl_session_reset(&tls.ssl);
    tls.fd = fd_slot;
    tls.seen = false;
    tls.flags = 0;
    tls.ssl.client_auth = 0;
    const bool offered = tls.have_saved && mbedtls_ssl_set_session(&tls.ssl, &tls.saved) == 0;
    for (;;) {
        const int step = mbedtls_ssl_handshake(&tls.ssl);
        if (step == 0)
            break;
        // OpenSSL servers that ask for a client certificate and set no
        // session context fail every resumption with an alert: their
        // failure says nothing of the server until a full handshake does.
        if (offered && step != MBEDTLS_ERR_SSL_WANT_READ && step != MBEDTLS_ERR_SSL_WANT_WRITE &&
            step != MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
            (void)abandon(fd_slot);
            return tls_resume_refused;
        }
        if (step != MBEDTLS_ERR_SSL_WANT_READ && step != MBEDTLS_ERR_SSL_WANT_WRITE) {
            report_failure(step);
            return abandon(fd_slot);
        }
        // Within the connect's deadline, and never past a stop.
        pollfd waits[2] = {{fd_slot, static_cast<short>(step == MBEDTLS_ERR_SSL_WANT_READ ? POLLIN : POLLOUT), 0},
                           {stop_fd, POLLIN, 0}};
        const std::int64_t left_us = deadline - monotonic_now_us();
        const int ready = left_us <= 0 ? 0 : poll(waits, stop_fd >= 0 ? 2 : 1, static_cast<int>((left_us + 999) / 1000));
        if (ready > 0 && (waits[1].revents & POLLIN) != 0)
            return abandon(fd_slot);
        if (ready == 0) {
            count(counters.tls_failures);
            if (first_of_spell(failure_timed_out))
                log_message(LOG_ERR, "TLS: the handshake did not finish within the time-out");
            return abandon(fd_slot);
        }
        if (ready < 0) {
            log_message(LOG_ERR, "select (%s)", std::strerror(errno));
            return abandon(fd_slot);
        }
    }
    count(tls.seen ? counters.tls_handshakes : counters.tls_resumed);
    tls.last_failure = failure_none;
    // The session is kept for the next connection: a server that still
    // knows it resumes it in one round trip, without public-key work.
    mbedtls_ssl_session_free(&tls.saved);
    mbedtls_ssl_session_init(&tls.saved);
    tls.have_saved = mbedtls_ssl_get_session(&tls.ssl, &tls.saved) == 0;
    return 1;
}

int tls_send(int& fd_slot, const FrameBuffer& frame)
{
    if (fd_slot < 0)
        return 0;
    // A record that did not go out whole stays half sent: the link cannot
    // be used after it, as a plain socket cannot after a short send.
    if (mbedtls_ssl_write(&tls.ssl, frame.data, static_cast<std::size_t>(frame.len)) == frame.len)
        return 1;
    close_broken(fd_slot);
    return 0;
}

int tls_receive(int& fd_slot, const fd_set& set, FrameBuffer& frame)
{
    frame.len = 0;
    if (fd_slot < 0)
        return 0;
    const bool marked = fd_slot < FD_SETSIZE && FD_ISSET(fd_slot, &set);
    if (!marked && mbedtls_ssl_get_bytes_avail(&tls.ssl) == 0)
        return 0;
    const int got = mbedtls_ssl_read(&tls.ssl, frame.data, static_cast<std::size_t>(frame.size));
    if (got > 0) {
        frame.len = got;
        return 1;
    }
    // Only part of a record has come: the rest follows.
    if (got == MBEDTLS_ERR_SSL_WANT_READ || got == MBEDTLS_ERR_SSL_WANT_WRITE)
        return 1;
    if (got == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE)
        log_message(LOG_ERR, "TLS: the server sent alert %u", static_cast<unsigned>(tls.ssl.in_msg[1]));
    else if (got == MBEDTLS_ERR_NET_RECV_FAILED)
        log_message(LOG_ERR, "read has failed (%s)", std::strerror(tls.recv_errno));
    else if (got != 0 && got != MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY && got != MBEDTLS_ERR_SSL_CONN_EOF)
        log_message(LOG_ERR, "TLS: the server sent a bad record or message (error -0x%04X)",
                    static_cast<unsigned>(-got));
    close_broken(fd_slot);
    return 0;
}

bool tls_buffered()
{
    return tls.usable && mbedtls_ssl_get_bytes_avail(&tls.ssl) > 0;
}

void tls_close(int& fd_slot)
{
    if (fd_slot < 0)
        return;
    (void)mbedtls_ssl_close_notify(&tls.ssl);
    close_broken(fd_slot);
}

#else  // built without TLS

int tls_init(const GatewaySettings& settings)
{
    if (settings.tls != 0) {
        set_counter(counters.tls_on, 1);
        log_message(LOG_ERR, "TLS is not built into this korvane, no connection will be made");
    }
    return 0;
}

bool tls_usable()
{
    return false;
}

int tls_connect(int& fd_slot, std::int64_t, int)
{
    if (fd_slot >= 0)
        close(fd_slot);
    fd_slot = -1;
    return 0;
}

int tls_send(int& fd_slot, const FrameBuffer&)
{
    if (fd_slot >= 0)
        close_broken(fd_slot);
    return 0;
}

int tls_receive(int& fd_slot, const fd_set&, FrameBuffer& frame)
{
    frame.len = 0;
    if (fd_slot >= 0)
        close_broken(fd_slot);
    return 0;
}

bool tls_buffered()
{
    return false;
}

void tls_close(int& fd_slot)
{
    if (fd_slot >= 0)
        close_broken(fd_slot);
}

#endif
