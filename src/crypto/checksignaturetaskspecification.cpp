#include "checksignaturetaskspecification.h"

#include "publickey.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>

#include <utility>

namespace {

// Frees the key record however verification ends.
class KeyRecord
{
public:
    KeyRecord() = default;
    ~KeyRecord()
    {
        if (m_loaded)
            rsa_free(&m_key);
    }
    KeyRecord(const KeyRecord &) = delete;
    KeyRecord &operator=(const KeyRecord &) = delete;

    void load(unsigned char const *in, unsigned long len)
    {
        load_key(&m_key, in, len);
        m_loaded = true;
    }
    Rsa_key *get() { return &m_key; }

private:
    Rsa_key m_key{};
    bool m_loaded = false;
};

} // namespace

CheckSigFunc::CheckSigFunc(QString const &fileName, QString const &md5)
    : m_fileName(fileName)
    , m_md5(md5)
{
}

bool CheckSigFunc::run()
{
    return m_md5.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::checkMD5()
{
    // Hashed while streaming: game files of several GiB must not be loaded whole.
    QFile file(m_fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(m_fileName));
        return false;
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray buffer(int(MD5ChunkSize), Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(buffer.data(), qMin(MD5ChunkSize, size - done));
        if (n <= 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), n));
        done += n;
    }
    if (done != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(m_fileName));
        return false;
    }
    const QString digits = QString::fromLatin1(hash.result().toHex());
    return digits.compare(m_md5, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray content;
    QByteArray signature;
    if (!readFile(m_fileName, content) || !readFile(m_fileName + QStringLiteral(".sig"), signature))
        return false;
    try {
        KeyRecord key;
        key.load(PUBLIC_KEY, sizeof PUBLIC_KEY);
        return verify_msg(key.get(), reinterpret_cast<unsigned char const *>(content.constData()),
                          content.size(), reinterpret_cast<unsigned char *>(signature.data()),
                          signature.size());
    } catch (crypt_exception const &) {
        // A damaged or foreign signature is simply a failed check.
        return false;
    }
}

bool CheckSigFunc::readFile(QString fileName, QByteArray &data)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(fileName));
        return false;
    }
    const qint64 size = file.size();
    data.resize(size);
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(data.data() + done, size - done);
        if (n <= 0)
            break;
        done += n;
    }
    if (done != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(fileName));
        return false;
    }
    file.close();
    return true;
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString fileName, QString md5,
                                                                 bool cancelOnFailure, QObject *parent,
                                                                 double weight)
    : ASyncTaskSpecification(parent, weight)
    , m_fileName(std::move(fileName))
    , m_md5(std::move(md5))
    , m_cancelOnFailure(cancelOnFailure)
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(m_fileName, m_md5);
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    if (m_state != TaskRunning)
        return;
    if (pass) {
        emit checkDone(true, this);
    } else {
        emit message(QStringLiteral("Signature check failed for %1").arg(m_fileName));
        emit checkDone(false, this);
    }
    // The parent's slot may have reset this task; then there is nothing left to end.
    if (m_state != TaskRunning)
        return;
    if (pass || !m_cancelOnFailure)
        finish();
    else
        errorCancel();
}
