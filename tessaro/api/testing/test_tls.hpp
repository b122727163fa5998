#pragma once
// A private certificate authority and a server certificate it signed, made afresh for each test
// with OpenSSL, for TestServer's HTTPS.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <testing/loopback_server.hpp>

namespace tessaro::testing {

template <auto release>
struct Releasing {
    void operator()(auto* object) const { release(object); }
};
using X509Ptr = std::unique_ptr<X509, Releasing<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Releasing<EVP_PKEY_free>>;

// A CA certificate (written as PEM to a temporary file, removed on destruction) and a server
// certificate it signed for the names "localhost" and "tessaro.localhost" (no IP address).
class TestCertificates {
public:
    explicit TestCertificates(const char* caName = "Tessaro Test CA")
        : caKey_(EVP_EC_gen("P-256")), serverKey_(EVP_EC_gen("P-256")) {
        if (!caKey_ || !serverKey_) throw std::runtime_error("could not make test keys");
        ca_ = make(caName, caKey_.get(), nullptr, caKey_.get(),
                   {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign,cRLSign"}});
        server_ = make("localhost", serverKey_.get(), ca_.get(), caKey_.get(),
                       {{NID_basic_constraints, "CA:FALSE"},
                        {NID_subject_alt_name, "DNS:localhost,DNS:tessaro.localhost"},
                        {NID_ext_key_usage, "serverAuth"}});
        char path[] = "/tmp/tessaro-test-ca-XXXXXX";
        const int fd = mkstemp(path);
        FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (file == nullptr || PEM_write_X509(file, ca_.get()) != 1) throw std::runtime_error("could not write the CA");
        std::fclose(file);
        caFile_ = path;
    }
    ~TestCertificates() { std::remove(caFile_.c_str()); }
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& caFile() const { return caFile_; }
    X509* caCertificate() const { return ca_.get(); }
    // For TestServer's HTTPS.
    LoopbackServer::Certificate server() const { return {server_.get(), serverKey_.get()}; }

private:
    static X509Ptr make(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                        std::initializer_list<std::pair<int, const char*>> extensions) {
        X509Ptr cert(X509_new());
        X509_set_version(cert.get(), 2);
        static long serial = 1;
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
        X509_set_pubkey(cert.get(), key);
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0);
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            if (extension == nullptr) throw std::runtime_error("could not make a certificate extension");
            X509_add_ext(cert.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
        if (X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) throw std::runtime_error("could not sign");
        return cert;
    }

    KeyPtr caKey_;
    KeyPtr serverKey_;
    X509Ptr ca_;
    X509Ptr server_;
    std::string caFile_;
};

}  // namespace tessaro::testing
