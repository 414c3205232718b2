/* Mbed TLS 2.28 cut to what korvane's secure link needs, for the static
 * builds that compile the library themselves (scripts/build-source-package
 * puts this file in place of the library's own include/mbedtls/config.h,
 * so that the library and the daemon see one configuration).
 *
 * The link is a TLS 1.2 client: ECDHE key exchange (with an ECDSA or an
 * RSA server certificate), AES-GCM or ChaCha20-Poly1305 records, X.509
 * chains read from PEM files, session resumption by ticket or identifier.
 * Modbus servers that speak TLS offer these suites; nothing
 * of the server side, DTLS, older protocol versions, CBC, static RSA key
 * exchange or the library's own sockets and threads is built. */
#ifndef KORVANE_MBEDTLS_CONFIG_H
#define KORVANE_MBEDTLS_CONFIG_H

/* Platform */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
/* korvane adds getrandom() as its entropy source itself (musl's libc has
 * no glibc macro the library's own source would look for). */
#define MBEDTLS_NO_PLATFORM_ENTROPY
#define MBEDTLS_FS_IO

/* Curves: P-256 and P-384 for certificates and key exchange, X25519 for
 * key exchange. */
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM

/* Key exchanges and signatures */
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21

/* TLS */
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
#define MBEDTLS_SSL_ALL_ALERT_MESSAGES
#define MBEDTLS_REMOVE_ARC4_CIPHERSUITES
#define MBEDTLS_REMOVE_3DES_CIPHERSUITES

/* Certificates */
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_CHECK_KEY_USAGE
#define MBEDTLS_X509_CHECK_EXTENDED_KEY_USAGE
#define MBEDTLS_PEM_PARSE_C
#define MBEDTLS_BASE64_C
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_OID_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C

/* Primitives */
#define MBEDTLS_AES_C
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_MD_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_RSA_C
#define MBEDTLS_ECP_C
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_CTR_DRBG_C

#include "mbedtls/check_config.h"

#endif
