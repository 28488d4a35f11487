#include "tomcryptutil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

int hash_idx = 0;
int prng_idx = 0;

namespace {

const unsigned long KeyFileSize = 2048;
const unsigned long ReadChunk = 2048;
const unsigned long RsaModulusBytes = 128;
const long RsaExponent = 65537;
const unsigned long PssSaltLength = 8;
const unsigned long Sha1Length = 20;

void check_err(char const *name, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(name) + ": " + error_to_string(err));
}

void hash_msg(unsigned char const *in, unsigned long len, unsigned char *out)
{
    hash_state md;
    sha1_init(&md);
    // The library rejects a null input even for zero bytes; nothing to feed then.
    if (len > 0)
        sha1_process(&md, in, len);
    sha1_done(&md, out);
}

// Closes on every path, so a throw after fopen leaks no descriptor.
class File
{
public:
    File(char const *path, char const *mode) : m_file(std::fopen(path, mode)) {}
    ~File()
    {
        if (m_file)
            std::fclose(m_file);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    std::FILE *get() const { return m_file; }
    // Returns false when buffered data could not be written out.
    bool close()
    {
        std::FILE *f = m_file;
        m_file = nullptr;
        return std::fclose(f) == 0;
    }

private:
    std::FILE *m_file;
};

void write_whole(char const *path, unsigned char const *buf, unsigned long len)
{
    File file(path, "wb");
    if (!file.get())
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    // A short write (full disk) would otherwise leave a truncated key or signature
    // behind while the caller believes it saved it.
    const bool written = len == 0 || std::fwrite(buf, 1, len, file.get()) == len;
    if (!file.close() || !written)
        throw crypt_exception(std::string("Cannot write file: ") + path);
}

} // namespace

crypt_exception::crypt_exception(std::string message) : m_message(std::move(message)) {}

crypt_exception::~crypt_exception() = default;

const char *crypt_exception::what() const noexcept
{
    return m_message.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sha1");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

bool verify_msg(Rsa_key *key, unsigned char const *msg, unsigned long msglen,
                unsigned char *sig, unsigned long siglen)
{
    // The library aborts the process on null arguments; report them like its other errors.
    if (!key || !sig || (!msg && msglen > 0))
        check_err("rsa_verify_hash", CRYPT_INVALID_ARG);
    unsigned char hash[Sha1Length];
    hash_msg(msg, msglen, hash);
    int status = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(sig, siglen, hash, Sha1Length, LTC_PKCS_1_PSS, hash_idx,
                                 PssSaltLength, &status, key));
    return status == 1;
}

void sign_msg(Rsa_key *key, unsigned char const *msg, unsigned long msglen,
              unsigned char *out, unsigned long *outlen)
{
    if (!key || !out || !outlen || (!msg && msglen > 0))
        check_err("rsa_sign_hash", CRYPT_INVALID_ARG);
    unsigned char hash[Sha1Length];
    hash_msg(msg, msglen, hash);
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(hash, Sha1Length, out, outlen, LTC_PKCS_1_PSS, nullptr, prng_idx,
                               hash_idx, PssSaltLength, key));
}

void create_key(Rsa_key *key)
{
    check_err("rsa_make_key", rsa_make_key(nullptr, prng_idx, RsaModulusBytes, RsaExponent, key));
}

void load_key(Rsa_key *key, unsigned char const *in, unsigned long len)
{
    if (!key || !in)
        check_err("rsa_import", CRYPT_INVALID_ARG);
    // The library aborts the process on an empty buffer instead of reporting it.
    if (len == 0)
        check_err("rsa_import", CRYPT_INVALID_PACKET);
    check_err("rsa_import", rsa_import(in, len, key));
}

void save_key(Rsa_key *key, int type, char const *path)
{
    unsigned char buf[KeyFileSize];
    std::memset(buf, 0, sizeof buf);
    unsigned long outlen = sizeof buf;
    check_err("rsa_export", rsa_export(buf, &outlen, type == 1 ? PK_PRIVATE : PK_PUBLIC, key));
    write_whole(path, buf, sizeof buf);
}

void load_key(Rsa_key *key, char const *path)
{
    // Zeros where the file gave nothing, so a missing or short file fails in the import.
    unsigned char buf[KeyFileSize];
    std::memset(buf, 0, sizeof buf);
    {
        File file(path, "rb");
        if (file.get())
            (void)std::fread(buf, 1, sizeof buf, file.get());
    }
    load_key(key, buf, sizeof buf);
}

void read_file(char const *path, unsigned char **buf, unsigned long *len)
{
    *len = 0;
    File file(path, "rb");
    if (!file.get())
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);
    for (;;) {
        auto *grown = static_cast<unsigned char *>(std::realloc(*buf, *len + ReadChunk));
        if (!grown)
            throw crypt_exception(std::string("Out of memory reading file: ") + path);
        *buf = grown;
        *len += std::fread(*buf + *len, 1, ReadChunk, file.get());
        if (std::feof(file.get()))
            break;
        // Without this a read error (a directory opens fine but cannot be read)
        // would never reach the end of the file and grow the block forever.
        if (std::ferror(file.get()))
            throw crypt_exception(std::string("Cannot read file: ") + path);
    }
}

void write_file(char const *path, unsigned char *buf, unsigned long len)
{
    write_whole(path, buf, len);
}
