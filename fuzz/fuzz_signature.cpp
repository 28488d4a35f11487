// The RSA signature check: random signature bytes against the built-in key, and
// random key bytes with random signatures.
//
// Input layout: byte 0 flags (bit 0: the key comes from the input; bit 1: also check
// the message as a file with the signature as its ".sig", as the program checks the
// product ini; bit 2: also check the file against the signature bytes taken as an
// expected MD5 text); with bit 0,
// a 16-bit little-endian key length and the key bytes; then a 16-bit little-endian
// signature length and the signature bytes; the rest is the signed message.
// Lengths larger than what is left take what is left.
#include "fuzzsupport.h"

#include "checksignaturetaskspecification.h"
#include "publickey.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>

#include <cstring>

namespace {

class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_left(size) {}

    size_t length()
    {
        size_t value = 0;
        for (int i = 0; i < 2 && m_left > 0; ++i) {
            value |= size_t(*m_data) << (8 * i);
            ++m_data;
            --m_left;
        }
        return value;
    }
    // Copies into a heap block of exactly the taken size, so a read past it is caught.
    QByteArray take(size_t count)
    {
        count = qMin(count, m_left);
        QByteArray bytes(reinterpret_cast<const char *>(m_data), int(count));
        m_data += count;
        m_left -= count;
        return bytes;
    }
    uint8_t flags() { return m_left > 0 ? take(1).at(0) : 0; }
    QByteArray rest() { return take(m_left); }

private:
    const uint8_t *m_data;
    size_t m_left;
};

// The verification as the program does it: import, verify, free; exceptions mean "fails".
bool verify(const unsigned char *keyBytes, unsigned long keyLength, const QByteArray &message,
            QByteArray signature)
{
    Rsa_key key;
    std::memset(&key, 0, sizeof key);
    try {
        load_key(&key, keyBytes, keyLength);
    } catch (const crypt_exception &) {
        return false;
    }
    bool valid = false;
    try {
        valid = verify_msg(&key, reinterpret_cast<const unsigned char *>(message.constData()),
                           static_cast<unsigned long>(message.size()),
                           reinterpret_cast<unsigned char *>(signature.data()),
                           static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception &) {
        valid = false;
    }
    rsa_free(&key);
    return valid;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initialize();
    crypt_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader reader(data, size);
    const uint8_t flags = reader.flags();
    QByteArray keyBytes;
    if (flags & 1)
        keyBytes = reader.take(reader.length());
    const QByteArray signature = reader.take(reader.length());
    const QByteArray message = reader.rest();

    const bool fromInput = flags & 1;
    const unsigned char *key = fromInput ? reinterpret_cast<const unsigned char *>(keyBytes.constData())
                                         : PUBLIC_KEY;
    const unsigned long keyLength = fromInput ? static_cast<unsigned long>(keyBytes.size()) : 2048;
    const bool valid = verify(key, keyLength, message, signature);
    if (flags & 6) {
        fuzz::InputDir dir;
        const QString file = dir.file(QStringLiteral("client_linux_x86.ini"));
        if (!dir.write(QStringLiteral("client_linux_x86.ini"), message)
            || !dir.write(QStringLiteral("client_linux_x86.ini.sig"), signature))
            fuzz::fail("cannot write the files", dir.path());
        if (flags & 2) {
            CheckSigFunc check(file, QString());
            FUZZ_CHECK(check.run() == (fromInput ? verify(PUBLIC_KEY, 2048, message, signature) : valid),
                       QString::fromLatin1(signature.toHex()));
        }
        if (flags & 4) {
            const QString expected = QString::fromLatin1(signature);
            const QString digest = QString::fromLatin1(
                QCryptographicHash::hash(message, QCryptographicHash::Md5).toHex());
            CheckSigFunc check(file, expected);
            FUZZ_CHECK(check.run() == (expected.isEmpty() ? verify(PUBLIC_KEY, 2048, message, signature)
                                                          : digest.compare(expected, Qt::CaseInsensitive) == 0),
                       expected);
        }
    }
    if (valid) {
        // A signature covers every byte of the message: the same signature over
        // a message one byte longer, or with its first byte changed, must fail.
        FUZZ_CHECK(!verify(key, keyLength, message + 'x', signature), QString::fromLatin1(message.toHex()));
        if (!message.isEmpty()) {
            QByteArray altered = message;
            altered[0] = char(altered.at(0) ^ 1);
            FUZZ_CHECK(!verify(key, keyLength, altered, signature), QString::fromLatin1(message.toHex()));
        }
    }
    return 0;
}
