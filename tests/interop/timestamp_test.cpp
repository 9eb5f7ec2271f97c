// A signature with an RFC 3161 timestamp outlives its signing certificate.
// A time-stamping authority answers on 127.0.0.1 (OpenSSL's TS responder,
// as `openssl ts -reply` is, behind a small HTTP server), but from a fixed
// time in 2020, when the signing certificate was valid: that certificate,
// the authority's and their root are made with openssl ca and past dates,
// so the test needs no network and no faked clock.
#include "outside_tools.h"
#include "common/temp_folder.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/ts.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const long kStampTime = 1590000000;  // 2020-05-20 18:40:00 UTC

std::string run(const std::string& cmd, int* status)
{
    return interop::capture("(" + cmd + ") 2>&1", status);
}

int stamp_time(TS_RESP_CTX*, void*, long* sec, long* usec)
{
    *sec = kStampTime;
    *usec = 0;
    return 1;
}

// The time-stamping authority: one HTTP POST of a timestamp query per
// connection, answered with a timestamp reply.
class Authority {
public:
    bool start(const std::string& cert_file, const std::string& key_file)
    {
        FILE* f = fopen(cert_file.c_str(), "r");
        cert_ = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
        if (f)
            fclose(f);
        f = fopen(key_file.c_str(), "r");
        key_ = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
        if (f)
            fclose(f);
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (!cert_ || !key_ || bind(listener_, (sockaddr*)&a, sizeof a) != 0 || listen(listener_, 4) != 0 ||
            getsockname(listener_, (sockaddr*)&a, &len) != 0)
            return false;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~Authority()
    {
        if (listener_ >= 0) {
            shutdown(listener_, SHUT_RDWR);
            close(listener_);
        }
        if (thread_.joinable())
            thread_.join();
        X509_free(cert_);
        EVP_PKEY_free(key_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int replies() const { return replies_; }

private:
    void serve()
    {
        for (;;) {
            int c = accept(listener_, nullptr, nullptr);
            if (c < 0)
                return;
            std::string in;
            char buf[4096];
            size_t body = std::string::npos, length = 0;
            for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;) {
                in.append(buf, size_t(n));
                if (body == std::string::npos && (body = in.find("\r\n\r\n")) != std::string::npos) {
                    body += 4;
                    const char* cl = strcasestr(in.c_str(), "Content-Length:");
                    length = cl ? strtoul(cl + 15, nullptr, 10) : 0;
                }
                if (body != std::string::npos && in.size() >= body + length)
                    break;
            }
            std::string reply = body == std::string::npos ? "" : stamp(in.substr(body, length));
            std::string head =
                "HTTP/1.0 200 OK\r\nContent-Type: application/timestamp-reply\r\nContent-Length: " +
                std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n";
            std::string all = head + reply;
            // Counted before the client can read the answer and go on.
            replies_++;
            for (size_t done = 0; done < all.size();) {
                ssize_t w = write(c, all.data() + done, all.size() - done);
                if (w <= 0)
                    break;
                done += size_t(w);
            }
            close(c);
        }
    }

    std::string stamp(const std::string& query)
    {
        TS_RESP_CTX* ctx = TS_RESP_CTX_new();
        TS_RESP_CTX_set_signer_cert(ctx, cert_);
        TS_RESP_CTX_set_signer_key(ctx, key_);
        TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256());
        ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
        TS_RESP_CTX_set_def_policy(ctx, policy);
        for (const EVP_MD* md : {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()})
            TS_RESP_CTX_add_md(ctx, md);
        TS_RESP_CTX_set_time_cb(ctx, stamp_time, nullptr);
        BIO* q = BIO_new_mem_buf(query.data(), int(query.size()));
        TS_RESP* resp = TS_RESP_create_response(ctx, q);
        std::string out;
        BIO* r = BIO_new(BIO_s_mem());
        if (resp && i2d_TS_RESP_bio(r, resp)) {
            char* p = nullptr;
            long n = BIO_get_mem_data(r, &p);
            out.assign(p, size_t(n));
        }
        BIO_free(r);
        BIO_free(q);
        TS_RESP_free(resp);
        ASN1_OBJECT_free(policy);
        TS_RESP_CTX_free(ctx);
        return out;
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> replies_{0};
    std::thread thread_;
    X509* cert_ = nullptr;
    EVP_PKEY* key_ = nullptr;
};

const char* const kCaConfig = R"([ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = .
serial = serial
certificate = root.pem
private_key = root-key.pem
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[tsa]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

TEST(Timestamp, SignatureOutlivesItsExpiredCertificate)
{
    testing_support::TempFolder folder("tessel-timestamp");
    std::string dir = folder.path();
    pkgtest::write_bytes(dir + "/ca.cnf", pkgtest::text_bytes(kCaConfig));
    pkgtest::write_bytes(dir + "/index.txt", {});
    pkgtest::write_bytes(dir + "/serial", pkgtest::text_bytes("1000\n"));
    // A root and an authority valid 2019 to 2040; a signing certificate valid
    // in 2020 only, long expired.
    std::string certs =
        "cd '" + dir +
        "' && "
        "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=tessel test "
        "root' -config ca.cnf "
        "-keyout root-key.pem -out root.csr && "
        "openssl ca -batch -config ca.cnf -selfsign -keyfile root-key.pem -extensions root "
        "-startdate 20190101000000Z -enddate 20400101000000Z -in root.csr -out root.pem && "
        "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=tessel test "
        "TSA' -config ca.cnf "
        "-keyout tsa-key.pem -out tsa.csr && "
        "openssl ca -batch -config ca.cnf -extensions tsa "
        "-startdate 20190101000000Z -enddate 20400101000000Z -in tsa.csr -out tsa.pem && "
        "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=tessel test "
        "signing' -config ca.cnf "
        "-keyout key.pem -out signing.csr && "
        "openssl ca -batch -config ca.cnf -extensions signing "
        "-startdate 20200101000000Z -enddate 20201231000000Z -in signing.csr -out signing.pem";
    int status = 0;
    std::string said = run(certs, &status);
    ASSERT_EQ(status, 0) << said;
    Authority tsa;
    ASSERT_TRUE(tsa.start(dir + "/tsa.pem", dir + "/tsa-key.pem"));

    const std::string pack = TESSEL_PACK, sample = TESSEL_SAMPLE_DIR "/tessel-updater.exe";
    const std::string keys = " --cert '" + dir + "/signing.pem' --key '" + dir + "/key.pem'";
    said = run(pack + " sign '" + sample + "'" + keys + " --timestamp " + tsa.url() + " -o '" + dir +
                   "/stamped.exe'",
               &status);
    ASSERT_EQ(status, 0) << said;
    EXPECT_NE(said.find("signed and timestamped"), std::string::npos) << said;
    EXPECT_EQ(tsa.replies(), 1);

    // Verified at the timestamp's time, by the authority named.
    said = run(pack + " verify '" + dir + "/stamped.exe' --ca '" + dir + "/root.pem'", &status);
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("Signature verification: ok"), std::string::npos) << said;
    EXPECT_NE(said.find("timestamp: May 20 18:40:00 2020 GMT, by /CN=tessel test TSA"), std::string::npos)
        << said;

    // Without the timestamp the same signature is checked today, and the
    // certificate has expired.
    said = run(pack + " sign '" + sample + "'" + keys + " -o '" + dir + "/plain.exe'", &status);
    ASSERT_EQ(status, 0) << said;
    said = run(pack + " verify '" + dir + "/plain.exe' --ca '" + dir + "/root.pem'", &status);
    EXPECT_EQ(status, 1) << said;
    EXPECT_NE(said.find("certificate has expired"), std::string::npos) << said;

    // The system's certificates know nothing of the test root: the refusal
    // says how to name it.
    said = run(pack + " verify '" + dir + "/stamped.exe'", &status);
    EXPECT_EQ(status, 1) << said;
    EXPECT_NE(said.find("with --ca FILE"), std::string::npos) << said;

    // An authority that does not answer refuses the signing.
    std::string gone = "http://127.0.0.1:1/";
    said = run(pack + " sign '" + sample + "'" + keys + " --timestamp " + gone + " -o '" + dir + "/none.exe'",
               &status);
    EXPECT_EQ(status, 1) << said;
    EXPECT_FALSE(pkgtest::file_exists(dir + "/none.exe"));
}

}  // namespace
