#include "publickey.h"
#include "tomcryptutil.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <deque>
#include <functional>
#include <string>

namespace {

// Owns a key record so a failed QVERIFY does not leak it.
struct Key
{
    Rsa_key key{};
    bool loaded = false;
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() { clear(); }
    Rsa_key *get() { return &key; }
    void clear()
    {
        if (loaded)
            rsa_free(&key);
        loaded = false;
    }
};

QByteArray exportKey(Rsa_key *key, int type)
{
    QByteArray out(2048, '\0');
    unsigned long len = out.size();
    if (rsa_export(reinterpret_cast<unsigned char *>(out.data()), &len, type, key) != CRYPT_OK)
        return QByteArray();
    out.truncate(int(len));
    return out;
}

QByteArray sign(Rsa_key *key, const QByteArray &msg)
{
    QByteArray sig(512, '\0');
    unsigned long len = sig.size();
    sign_msg(key, reinterpret_cast<const unsigned char *>(msg.constData()), msg.size(),
             reinterpret_cast<unsigned char *>(sig.data()), &len);
    sig.truncate(int(len));
    return sig;
}

bool verify(Rsa_key *key, const QByteArray &msg, QByteArray sig)
{
    return verify_msg(key, reinterpret_cast<const unsigned char *>(msg.constData()), msg.size(),
                      reinterpret_cast<unsigned char *>(sig.data()), sig.size());
}

// Runs f and returns the crypt_exception text, or a marker when nothing was thrown.
QString thrownText(const std::function<void()> &f)
{
    try {
        f();
    } catch (const crypt_exception &e) {
        return QString::fromLocal8Bit(e.what());
    }
    return QStringLiteral("<no exception>");
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, '\0');
    for (char &c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

} // namespace

class tst_TomCryptUtil : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void registrationFailure_data();
    void registrationFailure();

    void verify_data();
    void verify();

    void keyFileRoundTrip_data();
    void keyFileRoundTrip();
    void keyBufferIgnoresTrailingBytes();
    void builtInKeyIsPublic1024();
    void saveKeyErrors();
    void loadKeyFromBadFile_data();
    void loadKeyFromBadFile();
    void loadKeyFromBadBuffer_data();
    void loadKeyFromBadBuffer();

    void readFile_data();
    void readFile();
    void readFileErrors();
    void writeFile();
    void writeFileErrors_data();
    void writeFileErrors();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    Key m_signer;   // private key
    Key m_public;   // its public half, imported as the program imports PUBLIC_KEY
    Key m_other;    // an unrelated private key
};

void tst_TomCryptUtil::initTestCase()
{
    QVERIFY(m_dir.isValid());
    crypt_init();
    QCOMPARE(hash_idx, find_hash("sha1"));
    QCOMPARE(prng_idx, find_prng("sprng"));

    create_key(m_signer.get());
    m_signer.loaded = true;
    create_key(m_other.get());
    m_other.loaded = true;
    QCOMPARE(m_signer.key.type, int(PK_PRIVATE));
    QCOMPARE(rsa_get_size(m_signer.get()), 128);

    QByteArray buf = exportKey(m_signer.get(), PK_PUBLIC);
    QCOMPARE(buf.size(), 140);
    buf.append(2048 - buf.size(), '\0');
    load_key(m_public.get(), reinterpret_cast<const unsigned char *>(buf.constData()), buf.size());
    m_public.loaded = true;
    QCOMPARE(m_public.key.type, int(PK_PUBLIC));
}

void tst_TomCryptUtil::cleanupTestCase()
{
    m_signer.clear();
    m_public.clear();
    m_other.clear();
}

void tst_TomCryptUtil::registrationFailure_data()
{
    QTest::addColumn<bool>("fillGenerators");
    QTest::newRow("no room for the generator") << true;
    QTest::newRow("no room for the hash") << false;
}

// The library's tables hold 32 entries; filling them with look-alikes makes registration fail.
void tst_TomCryptUtil::registrationFailure()
{
    QFETCH(bool, fillGenerators);
    std::deque<std::string> names;
    std::deque<ltc_prng_descriptor> prngs;
    std::deque<ltc_hash_descriptor> hashes;

    if (fillGenerators)
        QVERIFY(unregister_prng(&sprng_desc) == CRYPT_OK);
    else
        QVERIFY(unregister_hash(&sha1_desc) == CRYPT_OK);
    for (int i = 0; i < 64; ++i) {
        names.push_back("filler" + std::to_string(i));
        int result;
        if (fillGenerators) {
            prngs.push_back(sprng_desc);
            prngs.back().name = names.back().c_str();
            result = register_prng(&prngs.back());
        } else {
            hashes.push_back(sha1_desc);
            hashes.back().name = names.back().c_str();
            result = register_hash(&hashes.back());
        }
        if (result == -1)
            break;
    }

    const QString text = thrownText([] { crypt_init(); });

    for (const auto &d : prngs)
        unregister_prng(&d);
    for (const auto &d : hashes)
        unregister_hash(&d);
    QCOMPARE(text, QStringLiteral("Error registering sha1"));

    crypt_init();
    QCOMPARE(hash_idx, find_hash("sha1"));
    QCOMPARE(prng_idx, find_prng("sprng"));
    QVERIFY(::verify(m_public.get(), "after", sign(m_signer.get(), "after")));
}

enum Outcome { Valid, Invalid, Throws };

void tst_TomCryptUtil::verify_data()
{
    QTest::addColumn<QByteArray>("signedMessage");
    QTest::addColumn<QByteArray>("checkedMessage");
    QTest::addColumn<bool>("otherSigner");
    QTest::addColumn<int>("sigSize");       // 0: as signed; else truncated or padded to this
    QTest::addColumn<int>("flipByte");      // -1: none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("text");      // exact exception text, empty: any "rsa_verify_hash: "

    const QByteArray msg("[files]\nupdate=0123::45\n");
    QTest::newRow("valid") << msg << msg << false << 0 << -1 << int(Valid) << QString();
    QTest::newRow("empty message") << QByteArray() << QByteArray() << false << 0 << -1
                                   << int(Valid) << QString();
    QTest::newRow("binary message") << QByteArray(3000, '\0') << QByteArray(3000, '\0') << false
                                    << 0 << -1 << int(Valid) << QString();
    QTest::newRow("same key, other data") << msg << msg + "x" << false << 0 << -1 << int(Invalid)
                                          << QString();
    QTest::newRow("same key, empty vs data") << QByteArray() << msg << false << 0 << -1
                                             << int(Invalid) << QString();
    QTest::newRow("made with another key") << msg << msg << true << 0 << -1 << int(Throws)
                                           << QString();
    QTest::newRow("altered last byte") << msg << msg << false << 0 << 127 << int(Throws) << QString();
    QTest::newRow("altered middle byte") << msg << msg << false << 0 << 64 << int(Throws) << QString();
    QTest::newRow("127 bytes") << msg << msg << false << 127 << -1 << int(Throws)
                               << QStringLiteral("rsa_verify_hash: Invalid input packet.");
    QTest::newRow("129 bytes") << msg << msg << false << 129 << -1 << int(Throws)
                               << QStringLiteral("rsa_verify_hash: Invalid input packet.");
    QTest::newRow("empty signature") << msg << msg << false << 0 << -2 << int(Throws)
                                     << QStringLiteral("rsa_verify_hash: Invalid input packet.");
}

void tst_TomCryptUtil::verify()
{
    QFETCH(QByteArray, signedMessage);
    QFETCH(QByteArray, checkedMessage);
    QFETCH(bool, otherSigner);
    QFETCH(int, sigSize);
    QFETCH(int, flipByte);
    QFETCH(int, outcome);
    QFETCH(QString, text);

    QByteArray sig = sign(otherSigner ? m_other.get() : m_signer.get(), signedMessage);
    QCOMPARE(sig.size(), 128);
    if (sigSize > 0)
        sig = sigSize < sig.size() ? sig.left(sigSize) : sig + QByteArray(sigSize - sig.size(), '\x5a');
    if (flipByte >= 0)
        sig[flipByte] = char(sig[flipByte] ^ 0x01);
    if (flipByte == -2)
        sig.clear();

    if (outcome == Throws) {
        const QString thrown = thrownText([&] { ::verify(m_public.get(), checkedMessage, sig); });
        if (text.isEmpty())
            QVERIFY2(thrown.startsWith(QStringLiteral("rsa_verify_hash: ")), qPrintable(thrown));
        else
            QCOMPARE(thrown, text);
    } else {
        bool result = !(outcome == Valid);
        const QString thrown = thrownText([&] { result = ::verify(m_public.get(), checkedMessage, sig); });
        QCOMPARE(thrown, QStringLiteral("<no exception>"));
        QCOMPARE(result, outcome == Valid);
    }
}

void tst_TomCryptUtil::keyFileRoundTrip_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("expectedType");
    QTest::newRow("private (1)") << 1 << int(PK_PRIVATE);
    QTest::newRow("public (0)") << 0 << int(PK_PUBLIC);
    QTest::newRow("public (any other value)") << 7 << int(PK_PUBLIC);
}

void tst_TomCryptUtil::keyFileRoundTrip()
{
    QFETCH(int, type);
    QFETCH(int, expectedType);
    const QString file = path(QStringLiteral("roundtrip-%1.key").arg(type));
    // A longer file must be truncated to the key file size.
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(5000, 'z'));
    }

    save_key(m_signer.get(), type, QFile::encodeName(file).constData());
    QCOMPARE(QFileInfo(file).size(), qint64(2048));

    Key loaded;
    load_key(loaded.get(), QFile::encodeName(file).constData());
    loaded.loaded = true;
    QCOMPARE(loaded.key.type, expectedType);
    QCOMPARE(exportKey(loaded.get(), expectedType), exportKey(m_signer.get(), expectedType));

    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    const QByteArray der = exportKey(m_signer.get(), expectedType);
    QVERIFY(content.startsWith(der));
    QCOMPARE(content.mid(der.size()), QByteArray(2048 - der.size(), '\0'));

    if (expectedType == PK_PRIVATE) {
        const QByteArray sig = sign(loaded.get(), "reloaded");
        QVERIFY(::verify(m_public.get(), "reloaded", sig));
    }
}

void tst_TomCryptUtil::keyBufferIgnoresTrailingBytes()
{
    for (int type : {int(PK_PUBLIC), int(PK_PRIVATE)}) {
        const QByteArray der = exportKey(m_signer.get(), type);
        const QByteArray buf = der + randomBytes(2048 - der.size());
        Key key;
        load_key(key.get(), reinterpret_cast<const unsigned char *>(buf.constData()), buf.size());
        key.loaded = true;
        QCOMPARE(key.key.type, type);
        QCOMPARE(exportKey(key.get(), type), der);
    }
}

void tst_TomCryptUtil::builtInKeyIsPublic1024()
{
    Key key;
    load_key(key.get(), PUBLIC_KEY, 2048);
    key.loaded = true;
    QCOMPARE(key.key.type, int(PK_PUBLIC));
    QCOMPARE(rsa_get_size(key.get()), 128);
    QCOMPARE(ltc_mp.get_int(key.key.e), 65537ul);
    const QByteArray der = exportKey(key.get(), PK_PUBLIC);
    QCOMPARE(der.size(), 140);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), 140), der);
}

void tst_TomCryptUtil::saveKeyErrors()
{
    // Exporting the private half of a public key fails before the file is touched.
    const QString file = path(QStringLiteral("untouched.key"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    const QString exportText = thrownText(
        [&] { save_key(m_public.get(), 1, QFile::encodeName(file).constData()); });
    QVERIFY2(exportText.startsWith(QStringLiteral("rsa_export: ")), qPrintable(exportText));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("keep me"));

    const QString missingDir = path(QStringLiteral("no-such-dir/key"));
    QCOMPARE(thrownText([&] { save_key(m_signer.get(), 0, QFile::encodeName(missingDir).constData()); }),
             QStringLiteral("Cannot open file for writing: ") + missingDir);
}

void tst_TomCryptUtil::loadKeyFromBadBuffer_data()
{
    QTest::addColumn<QByteArray>("content");   // "cut": the first half of a public key
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("one byte") << QByteArray("\x30", 1);
    QTest::newRow("sequence header only") << QByteArray("\x30\x81\x89", 3);
    QTest::newRow("first half of a key") << QByteArray("cut");
}

void tst_TomCryptUtil::loadKeyFromBadBuffer()
{
    QFETCH(QByteArray, content);
    if (content == "cut")
        content = exportKey(m_signer.get(), PK_PUBLIC).left(70);
    Key key;
    const QString text = thrownText([&] {
        load_key(key.get(), reinterpret_cast<const unsigned char *>(content.constData()),
                 static_cast<unsigned long>(content.size()));
        key.loaded = true;
    });
    QVERIFY2(text.startsWith(QStringLiteral("rsa_import: ")), qPrintable(text));
}

void tst_TomCryptUtil::loadKeyFromBadFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("empty") << "empty";
    QTest::newRow("first 100 bytes of a key") << "cut";
    QTest::newRow("text") << "text";
}

void tst_TomCryptUtil::loadKeyFromBadFile()
{
    QFETCH(QString, kind);
    const QString file = path(QStringLiteral("bad-%1.key").arg(kind));
    QByteArray content;
    if (kind == "cut")
        content = exportKey(m_signer.get(), PK_PUBLIC).left(100);
    else if (kind == "text")
        content = QByteArray(2048, 'a');
    if (kind != "missing") {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    Key key;
    const QString text = thrownText([&] {
        load_key(key.get(), QFile::encodeName(file).constData());
        key.loaded = true;
    });
    QVERIFY2(text.startsWith(QStringLiteral("rsa_import: ")), qPrintable(text));
}

void tst_TomCryptUtil::readFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("startWithBlock");
    QTest::newRow("empty") << 0 << false;
    QTest::newRow("one byte") << 1 << false;
    QTest::newRow("exactly one chunk") << 2048 << false;
    QTest::newRow("chunk and a byte") << 2049 << false;
    QTest::newRow("several chunks") << 10000 << false;
    QTest::newRow("into an existing block") << 3000 << true;
}

void tst_TomCryptUtil::readFile()
{
    QFETCH(int, size);
    QFETCH(bool, startWithBlock);
    const QByteArray content = randomBytes(size);
    const QString file = path(QStringLiteral("read-%1").arg(size));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    unsigned char *buf = startWithBlock ? static_cast<unsigned char *>(std::malloc(16)) : nullptr;
    unsigned long len = 12345;
    read_file(QFile::encodeName(file).constData(), &buf, &len);
    QVERIFY(buf != nullptr);   // a block is allocated even for an empty file
    const QByteArray got(reinterpret_cast<const char *>(buf), int(len));
    std::free(buf);
    QCOMPARE(len, static_cast<unsigned long>(size));
    QCOMPARE(got, content);
}

void tst_TomCryptUtil::readFileErrors()
{
    const QString missing = path(QStringLiteral("missing"));
    unsigned char *buf = nullptr;
    unsigned long len = 77;
    QCOMPARE(thrownText([&] { read_file(QFile::encodeName(missing).constData(), &buf, &len); }),
             QStringLiteral("Cannot open file for reading: ") + missing);
    QCOMPARE(len, 0ul);
    std::free(buf);

    // A directory opens but cannot be read; this must end instead of growing the block forever.
    buf = nullptr;
    const QString dir = path(QStringLiteral("a-directory"));
    QVERIFY(QDir().mkpath(dir));
    QCOMPARE(thrownText([&] { read_file(QFile::encodeName(dir).constData(), &buf, &len); }),
             QStringLiteral("Cannot read file: ") + dir);
    std::free(buf);
}

void tst_TomCryptUtil::writeFile()
{
    const QString file = path(QStringLiteral("written"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(5000, 'o'));
    }
    QByteArray content = randomBytes(3000);
    write_file(QFile::encodeName(file).constData(), reinterpret_cast<unsigned char *>(content.data()),
               1000);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), content.left(1000));

    QByteArray empty;
    write_file(QFile::encodeName(file).constData(), reinterpret_cast<unsigned char *>(empty.data()), 0);
    QCOMPARE(QFileInfo(file).size(), qint64(0));
}

void tst_TomCryptUtil::writeFileErrors_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("textPrefix");
    QTest::newRow("directory missing") << QStringLiteral("no-such-dir/file")
                                       << QStringLiteral("Cannot open file for writing: ");
    QTest::newRow("disk full") << QStringLiteral("/dev/full") << QStringLiteral("Cannot write file: ");
}

void tst_TomCryptUtil::writeFileErrors()
{
    QFETCH(QString, target);
    QFETCH(QString, textPrefix);
    if (!target.startsWith(QLatin1Char('/')))
        target = path(target);
    else if (!QFileInfo::exists(target))
        QSKIP("no /dev/full on this system");
    QByteArray content(4096, 'w');
    QCOMPARE(thrownText([&] {
                 write_file(QFile::encodeName(target).constData(),
                            reinterpret_cast<unsigned char *>(content.data()), content.size());
             }),
             textPrefix + target);
    QCOMPARE(thrownText([&] { save_key(m_signer.get(), 0, QFile::encodeName(target).constData()); }),
             textPrefix + target);
}

QTEST_GUILESS_MAIN(tst_TomCryptUtil)
#include "tst_tomcryptutil.moc"
