// corvane-release: the publisher's tool. Generates the signing key pair, signs
// and verifies files, and builds the version directory of a release.

#include "releasebuilder.h"
#include "releasekey.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

const char *const Usage =
    "Usage: corvane-release COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  genkey [--force] PRIVATE_KEY_FILE PUBLIC_KEY_FILE\n"
    "      Generate a signing key pair (1024-bit RSA, 2048-byte key files).\n"
    "  pubkey [--force] PRIVATE_KEY_FILE PUBLIC_KEY_FILE\n"
    "      Write the public key file of an existing private key.\n"
    "  sign --key PRIVATE_KEY_FILE FILE...\n"
    "      Write FILE.sig, the signature the updater checks, for each FILE.\n"
    "  verify (--key KEY_FILE | --built-in) FILE [SIGNATURE_FILE]\n"
    "      Check FILE against FILE.sig (or SIGNATURE_FILE). Exit status 0 when\n"
    "      valid, 1 when not. --built-in uses the key built into this build.\n"
    "  build --stage DIR --version N --section NAME --key PRIVATE_KEY_FILE --out DIR\n"
    "        [--type CLIENT_TYPE] [--pack PATTERN]... [--previous PATH]\n"
    "        [--delete PATH]... [--changelog FILE] [--replace]\n"
    "      Write the version directory OUT/N of a release: every file of the\n"
    "      staged client directory under OUT/N/NAME, the product ini\n"
    "      OUT/N/CLIENT_TYPE.ini (default type client_linux_x86) and its signature.\n"
    "      --pack     gzip matching files (\"*.so\" matches by file name anywhere,\n"
    "                 \"data/*.pak\" by relative path); repeatable\n"
    "      --previous previous product ini, version directory or staged directory;\n"
    "                 files it had and this release lacks go to the \"delete\" section\n"
    "      --delete   add a path to the \"delete\" section; repeatable\n"
    "      --changelog publish FILE as changelog_client.txt\n"
    "      --replace  replace an existing version directory\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

int usageError(const QString &text)
{
    err() << "corvane-release: " << text << "\n" << "Try 'corvane-release help'.\n";
    err().flush();
    return UsageError;
}

int failure(const QString &text)
{
    err() << "corvane-release: error: " << text << "\n";
    err().flush();
    return Failure;
}

// Parses the options of one command; on a parse error prints it and returns false.
bool parse(QCommandLineParser &parser, const QStringList &args, int *exitCode)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(args)) {
        *exitCode = usageError(parser.errorText());
        return false;
    }
    return true;
}

ReleaseKey loadKey(const QString &path, bool needPrivate, QString *error)
{
    ReleaseKey key = ReleaseKey::fromFile(path, error);
    if (!key.isNull() && needPrivate && !key.isPrivate()) {
        *error = QStringLiteral("%1 is a public key file; this needs the private key file").arg(path);
        return ReleaseKey();
    }
    return key;
}

int writeKeyPair(const ReleaseKey &key, const QStringList &files, bool force)
{
    for (const QString &f : files) {
        if (QFileInfo::exists(f) && !force)
            return failure(QStringLiteral("%1 exists; use --force to overwrite it").arg(f));
    }
    QString error;
    if (!key.save(files.at(0), true, &error) || !key.save(files.at(1), false, &error))
        return failure(error);
    out() << "Private key: " << files.at(0) << " (keep it secret; it signs releases)\n"
          << "Public key:  " << files.at(1) << " (build the updater with it)\n";
    return Success;
}

int cmdGenKey(const QStringList &args, bool fromExisting)
{
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("force"), QStringLiteral("Overwrite existing files.")});
    int code = Success;
    if (!parse(parser, args, &code))
        return code;
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2)
        return usageError(QStringLiteral("expects PRIVATE_KEY_FILE and PUBLIC_KEY_FILE"));
    QString error;
    if (!fromExisting) {
        const ReleaseKey key = ReleaseKey::generate(&error);
        if (key.isNull())
            return failure(error);
        return writeKeyPair(key, files, parser.isSet(QStringLiteral("force")));
    }
    const ReleaseKey key = loadKey(files.at(0), true, &error);
    if (key.isNull())
        return failure(error);
    if (QFileInfo::exists(files.at(1)) && !parser.isSet(QStringLiteral("force")))
        return failure(QStringLiteral("%1 exists; use --force to overwrite it").arg(files.at(1)));
    if (!key.save(files.at(1), false, &error))
        return failure(error);
    out() << "Public key: " << files.at(1) << "\n";
    return Success;
}

int cmdSign(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("key"), QStringLiteral("Private key file."), QStringLiteral("file")});
    int code = Success;
    if (!parse(parser, args, &code))
        return code;
    if (!parser.isSet(QStringLiteral("key")))
        return usageError(QStringLiteral("sign needs --key PRIVATE_KEY_FILE"));
    if (parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("sign needs at least one FILE"));
    QString error;
    const ReleaseKey key = loadKey(parser.value(QStringLiteral("key")), true, &error);
    if (key.isNull())
        return failure(error);
    for (const QString &file : parser.positionalArguments()) {
        if (!key.signFile(file, &error))
            return failure(error);
        out() << "Signed " << file << " -> " << file << ".sig\n";
    }
    return Success;
}

int cmdVerify(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("key"), QStringLiteral("Public or private key file."), QStringLiteral("file")});
    parser.addOption({QStringLiteral("built-in"), QStringLiteral("Use the key built into this build.")});
    int code = Success;
    if (!parse(parser, args, &code))
        return code;
    const bool builtIn = parser.isSet(QStringLiteral("built-in"));
    if (builtIn == parser.isSet(QStringLiteral("key")))
        return usageError(QStringLiteral("verify needs exactly one of --key KEY_FILE and --built-in"));
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty() || files.size() > 2)
        return usageError(QStringLiteral("verify expects FILE and optionally SIGNATURE_FILE"));
    QString error;
    const ReleaseKey key = builtIn ? ReleaseKey::builtIn(&error)
                                   : loadKey(parser.value(QStringLiteral("key")), false, &error);
    if (key.isNull())
        return failure(error);
    const QString sigPath = files.size() == 2 ? files.at(1) : files.at(0) + QStringLiteral(".sig");
    if (!key.verifyFile(files.at(0), sigPath, &error))
        return failure(QStringLiteral("%1: %2").arg(files.at(0), error));
    out() << files.at(0) << ": signature valid\n";
    return Success;
}

int cmdBuild(const QStringList &args)
{
    QCommandLineParser parser;
    const QString stage = QStringLiteral("stage"), version = QStringLiteral("version"),
                  type = QStringLiteral("type"), section = QStringLiteral("section"),
                  keyOpt = QStringLiteral("key"), outDir = QStringLiteral("out"), pack = QStringLiteral("pack"),
                  previous = QStringLiteral("previous"), del = QStringLiteral("delete"),
                  changelog = QStringLiteral("changelog"), replace = QStringLiteral("replace");
    parser.addOptions({
        {stage, QStringLiteral("Staged client directory."), QStringLiteral("dir")},
        {version, QStringLiteral("Version number."), QStringLiteral("n")},
        {type, QStringLiteral("Client type."), QStringLiteral("type"), QStringLiteral("client_linux_x86")},
        {section, QStringLiteral("Section name."), QStringLiteral("name")},
        {keyOpt, QStringLiteral("Private key file."), QStringLiteral("file")},
        {outDir, QStringLiteral("Mirror root."), QStringLiteral("dir")},
        {pack, QStringLiteral("Files to gzip."), QStringLiteral("pattern")},
        {previous, QStringLiteral("Previous release."), QStringLiteral("path")},
        {del, QStringLiteral("Path to delete."), QStringLiteral("path")},
        {changelog, QStringLiteral("Change log."), QStringLiteral("file")},
        {replace, QStringLiteral("Replace an existing version directory.")},
    });
    int code = Success;
    if (!parse(parser, args, &code))
        return code;
    for (const QString &required : {stage, version, section, keyOpt, outDir}) {
        if (!parser.isSet(required))
            return usageError(QStringLiteral("build needs --%1").arg(required));
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("build takes no arguments besides its options: %1")
                              .arg(parser.positionalArguments().join(QLatin1Char(' '))));
    bool numeric = false;
    const int versionNumber = parser.value(version).toInt(&numeric);
    if (!numeric || versionNumber < 0)
        return usageError(QStringLiteral("--version must be a non-negative integer, not \"%1\"")
                              .arg(parser.value(version)));

    QString error;
    const ReleaseKey key = loadKey(parser.value(keyOpt), true, &error);
    if (key.isNull())
        return failure(error);

    ReleaseBuilder builder;
    builder.setStageDir(parser.value(stage));
    builder.setMirrorRoot(parser.value(outDir));
    builder.setVersion(versionNumber);
    builder.setClientType(parser.value(type));
    builder.setSection(parser.value(section));
    builder.setSigningKey(&key);
    for (const QString &p : parser.values(pack))
        builder.addPackPattern(p);
    for (const QString &d : parser.values(del))
        builder.addDelete(d);
    builder.setPrevious(parser.value(previous));
    builder.setChangeLog(parser.value(changelog));
    builder.setReplaceExisting(parser.isSet(replace));
    if (!builder.build())
        return failure(builder.errorString());

    int packed = 0;
    for (const ProductIni::Entry &e : builder.productIni().entries())
        packed += e.isPacked() ? 1 : 0;
    out() << "Release " << versionNumber << " written to " << builder.versionDir() << "\n"
          << "  " << builder.productIni().entries().size() << " files (" << packed << " packed), "
          << builder.productIni().deletes().size() << " to delete\n"
          << "  product ini " << builder.productIniPath() << " and its signature\n";
    return Success;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 2)
        return usageError(QStringLiteral("no command given"));
    const QString command = args.takeAt(1);
    if (command == QLatin1String("help") || command == QLatin1String("--help") || command == QLatin1String("-h")) {
        out() << Usage;
        return Success;
    }
    int code;
    if (command == QLatin1String("genkey"))
        code = cmdGenKey(args, false);
    else if (command == QLatin1String("pubkey"))
        code = cmdGenKey(args, true);
    else if (command == QLatin1String("sign"))
        code = cmdSign(args);
    else if (command == QLatin1String("verify"))
        code = cmdVerify(args);
    else if (command == QLatin1String("build"))
        code = cmdBuild(args);
    else
        code = usageError(QStringLiteral("unknown command \"%1\"").arg(command));
    out().flush();
    err().flush();
    return code;
}
