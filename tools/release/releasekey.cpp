#include "releasekey.h"

#include "publickey.h"
#include "tomcryptutil.h"

#include <QFile>
#include <QSaveFile>

#include <mutex>
#include <utility>

namespace {

const int KeyFileSize = 2048;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

bool ReleaseIo::readAll(const QString &path, QByteArray *content, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError || data.size() != file.size()) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    *content = std::move(data);
    return true;
}

bool ReleaseIo::writeAtomic(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        setError(error, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

void ReleaseKey::ensureCryptInit()
{
    static std::once_flag once;
    std::call_once(once, [] { crypt_init(); });
}

ReleaseKey::ReleaseKey() = default;

ReleaseKey::~ReleaseKey()
{
    if (m_loaded)
        rsa_free(&m_key);
}

ReleaseKey::ReleaseKey(ReleaseKey &&other) noexcept
    : m_key(other.m_key), m_loaded(std::exchange(other.m_loaded, false))
{
}

ReleaseKey &ReleaseKey::operator=(ReleaseKey &&other) noexcept
{
    if (this != &other) {
        if (m_loaded)
            rsa_free(&m_key);
        m_key = other.m_key;
        m_loaded = std::exchange(other.m_loaded, false);
    }
    return *this;
}

ReleaseKey ReleaseKey::generate(QString *error)
{
    ensureCryptInit();
    ReleaseKey key;
    try {
        create_key(&key.m_key);
        key.m_loaded = true;
    } catch (const crypt_exception &e) {
        setError(error, QStringLiteral("Cannot generate a key: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    return key;
}

ReleaseKey ReleaseKey::fromFile(const QString &path, QString *error)
{
    // Read here rather than through load_key(path), which cannot tell a missing
    // file from a damaged one.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read key file %1: %2").arg(path, file.errorString()));
        return ReleaseKey();
    }
    const QByteArray bytes = file.read(KeyFileSize);
    QString importError;
    ReleaseKey key = fromBytes(bytes, &importError);
    if (key.isNull())
        setError(error, QStringLiteral("%1 is not a key file: %2").arg(path, importError));
    return key;
}

ReleaseKey ReleaseKey::fromBytes(const QByteArray &bytes, QString *error)
{
    ensureCryptInit();
    // Zero-padded to the key file size, as a short key file is read.
    QByteArray buf = bytes.left(KeyFileSize);
    buf.append(KeyFileSize - buf.size(), '\0');
    ReleaseKey key;
    try {
        load_key(&key.m_key, reinterpret_cast<const unsigned char *>(buf.constData()), buf.size());
        key.m_loaded = true;
    } catch (const crypt_exception &e) {
        setError(error, QString::fromLocal8Bit(e.what()));
    }
    return key;
}

ReleaseKey ReleaseKey::builtIn(QString *error)
{
    return fromBytes(QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), KeyFileSize), error);
}

bool ReleaseKey::isPrivate() const
{
    return m_loaded && m_key.type == PK_PRIVATE;
}

QByteArray ReleaseKey::keyFileBytes(bool privatePart, QString *error) const
{
    if (!m_loaded) {
        setError(error, QStringLiteral("No key loaded"));
        return QByteArray();
    }
    if (privatePart && !isPrivate()) {
        setError(error, QStringLiteral("This is a public key; it has no private part to save"));
        return QByteArray();
    }
    QByteArray out(KeyFileSize, '\0');
    unsigned long len = KeyFileSize;
    Rsa_key copy = m_key; // rsa_export takes a non-const key but only reads it
    const int err = rsa_export(reinterpret_cast<unsigned char *>(out.data()), &len,
                               privatePart ? PK_PRIVATE : PK_PUBLIC, &copy);
    if (err != CRYPT_OK) {
        setError(error, QStringLiteral("rsa_export: %1").arg(QString::fromLatin1(error_to_string(err))));
        return QByteArray();
    }
    return out;
}

bool ReleaseKey::save(const QString &path, bool privatePart, QString *error) const
{
    const QByteArray bytes = keyFileBytes(privatePart, error);
    if (bytes.isEmpty())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (privatePart)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        setError(error, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

QByteArray ReleaseKey::sign(const QByteArray &data, QString *error) const
{
    if (!isPrivate()) {
        setError(error, m_loaded ? QStringLiteral("Signing needs a private key, but this is a public key")
                                 : QStringLiteral("No key loaded"));
        return QByteArray();
    }
    QByteArray sig(512, '\0');
    unsigned long len = sig.size();
    Rsa_key copy = m_key;
    try {
        sign_msg(&copy, reinterpret_cast<const unsigned char *>(data.constData()), data.size(),
                 reinterpret_cast<unsigned char *>(sig.data()), &len);
    } catch (const crypt_exception &e) {
        setError(error, QString::fromLocal8Bit(e.what()));
        return QByteArray();
    }
    sig.truncate(int(len));
    return sig;
}

bool ReleaseKey::verify(const QByteArray &data, const QByteArray &signature, QString *error) const
{
    if (!m_loaded) {
        setError(error, QStringLiteral("No key loaded"));
        return false;
    }
    QByteArray sig = signature;
    Rsa_key copy = m_key;
    try {
        if (verify_msg(&copy, reinterpret_cast<const unsigned char *>(data.constData()), data.size(),
                       reinterpret_cast<unsigned char *>(sig.data()), sig.size()))
            return true;
        setError(error, QStringLiteral("The signature does not match the data"));
    } catch (const crypt_exception &e) {
        setError(error, QStringLiteral("The signature is not valid for this key (%1)")
                            .arg(QString::fromLocal8Bit(e.what())));
    }
    return false;
}

bool ReleaseKey::signFile(const QString &path, QString *error) const
{
    QByteArray data;
    if (!ReleaseIo::readAll(path, &data, error))
        return false;
    const QByteArray sig = sign(data, error);
    if (sig.isEmpty())
        return false;
    return ReleaseIo::writeAtomic(path + QStringLiteral(".sig"), sig, error);
}

bool ReleaseKey::verifyFile(const QString &path, const QString &sigPath, QString *error) const
{
    QByteArray data;
    QByteArray sig;
    if (!ReleaseIo::readAll(path, &data, error)
        || !ReleaseIo::readAll(sigPath.isEmpty() ? path + QStringLiteral(".sig") : sigPath, &sig, error))
        return false;
    return verify(data, sig, error);
}
