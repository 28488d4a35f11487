#ifndef TOMCRYPTUTIL_H
#define TOMCRYPTUTIL_H

#include <exception>
#include <string>

#include <tomcrypt.h>

// The one exception type of the program's own code. Thrown by value by the
// functions below, caught by reference by their callers.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    ~crypt_exception() override;
    const char *what() const noexcept override;

private:
    std::string m_message;
};

// Registry indices of "sha1" and "sprng"; zero until crypt_init, read-only afterwards.
extern int hash_idx;
extern int prng_idx;

// Registers the generator and SHA-1 and selects the big-number library.
// Called once before any key is used; throws "Error registering sha1" on failure.
void crypt_init();

// RSASSA-PSS (SHA-1, MGF1-SHA-1, 8-byte salt) over the whole message.
// Returns false for a well-formed signature that does not match; throws
// crypt_exception for a signature the library rejects (wrong length, no PSS structure).
bool verify_msg(Rsa_key *key, unsigned char const *msg, unsigned long msglen,
                unsigned char *sig, unsigned long siglen);
// On entry *outlen is the capacity of out, on return the signature's length.
void sign_msg(Rsa_key *key, unsigned char const *msg, unsigned long msglen,
              unsigned char *out, unsigned long *outlen);

// A fresh private key: 1024-bit modulus, exponent 65537.
void create_key(Rsa_key *key);

// Imports the DER key (public or private) at the start of in; bytes after it are ignored.
void load_key(Rsa_key *key, unsigned char const *in, unsigned long len);
// Writes a 2048-byte key file: type 1 the private key, any other value the public key.
void save_key(Rsa_key *key, int type, char const *path);
// Reads a 2048-byte key file; a missing or short file fails in the import.
void load_key(Rsa_key *key, char const *path);

// Reads a whole file into *buf (null or a realloc-able block; release with free).
void read_file(char const *path, unsigned char **buf, unsigned long *len);
// Replaces the file's content with the first len bytes of buf.
void write_file(char const *path, unsigned char *buf, unsigned long len);

#endif
