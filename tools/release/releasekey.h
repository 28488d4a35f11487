#ifndef RELEASEKEY_H
#define RELEASEKEY_H

#include <QByteArray>
#include <QString>

#include <tomcrypt.h>

// An RSA key of the publishing side, over the same helper layer the updater
// verifies with. Public or private; owns its key record. Every operation
// reports failure by its return value and, when `error` is given, a sentence
// for the user; nothing throws.
class ReleaseKey
{
public:
    ReleaseKey();
    ~ReleaseKey();
    ReleaseKey(ReleaseKey &&other) noexcept;
    ReleaseKey &operator=(ReleaseKey &&other) noexcept;
    ReleaseKey(const ReleaseKey &) = delete;
    ReleaseKey &operator=(const ReleaseKey &) = delete;

    // A new private key (1024-bit modulus, exponent 65537).
    static ReleaseKey generate(QString *error = nullptr);
    // A key file in the 2048-byte layout, public or private.
    static ReleaseKey fromFile(const QString &path, QString *error = nullptr);
    // A key in the 2048-byte layout or bare DER.
    static ReleaseKey fromBytes(const QByteArray &bytes, QString *error = nullptr);
    // The public key built into this build of the updater.
    static ReleaseKey builtIn(QString *error = nullptr);

    bool isNull() const { return !m_loaded; }
    bool isPrivate() const;

    // The 2048-byte key file content: the DER key, then zero filler. The
    // private part of a public key is an error (empty result).
    QByteArray keyFileBytes(bool privatePart, QString *error = nullptr) const;
    // Writes the key file; a private key file gets owner-only permissions.
    bool save(const QString &path, bool privatePart, QString *error = nullptr) const;

    // The raw RSASSA-PSS signature (128 bytes); needs a private key.
    QByteArray sign(const QByteArray &data, QString *error = nullptr) const;
    // True for a valid signature. A mismatch or a signature the library
    // rejects gives false; `error` then says which.
    bool verify(const QByteArray &data, const QByteArray &signature, QString *error = nullptr) const;

    // Signs the file at `path` into `path` + ".sig" (written atomically).
    bool signFile(const QString &path, QString *error = nullptr) const;
    // Checks `path` against `sigPath` (default `path` + ".sig").
    bool verifyFile(const QString &path, const QString &sigPath = QString(),
                    QString *error = nullptr) const;

    // For direct use with the helper layer; null when no key is loaded.
    Rsa_key *get() { return m_loaded ? &m_key : nullptr; }

    // Registers the algorithms once per process; every factory above calls it.
    static void ensureCryptInit();

private:
    Rsa_key m_key{};
    bool m_loaded = false;
};

// Small file helpers shared by the release code.
namespace ReleaseIo {
// Whole file; false and a sentence naming the file on failure.
bool readAll(const QString &path, QByteArray *content, QString *error);
// Writes through a temporary file and a rename, so readers see the old file or the whole new one.
bool writeAtomic(const QString &path, const QByteArray &content, QString *error);
}

#endif
