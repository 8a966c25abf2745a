// Signs a release folder before it is zipped:
//   release-sign [--key FILE] VERSION FOLDER
// writes FOLDER/release.json and FOLDER/release.sig. The key file (as scripts/release-key
// writes it) is --key, else $QUILLMARK_RELEASE_KEY.
#include "releasesigner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("release-sign"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes release.json and release.sig into a release folder."));
    parser.addHelpOption();
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Secret key file (default: $QUILLMARK_RELEASE_KEY)."),
                                       QStringLiteral("file"));
    parser.addOption(keyOption);
    parser.addPositionalArgument(QStringLiteral("version"), QStringLiteral("The release's version, as the server announces it."));
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("The release, laid out as the install folder."));
    parser.process(app);

    QTextStream err(stderr);
    const QStringList args = parser.positionalArguments();
    const QString keyFile = parser.isSet(keyOption) ? parser.value(keyOption) : qEnvironmentVariable("QUILLMARK_RELEASE_KEY");
    if (args.size() != 2 || args.at(0).isEmpty()) {
        err << "usage: release-sign [--key FILE] VERSION FOLDER\n";
        return 2;
    }
    if (keyFile.isEmpty()) {
        err << "release-sign: no key: give --key or set QUILLMARK_RELEASE_KEY\n";
        return 2;
    }
    QString error;
    const QByteArray key = ReleaseSigner::readSecretKey(keyFile, &error);
    if (key.isEmpty() || !ReleaseSigner::signFolder(args.at(1), args.at(0), key, &error)) {
        err << "release-sign: " << error << '\n';
        return 1;
    }
    QTextStream(stdout) << "release-sign: " << args.at(1) << " signed as release " << args.at(0) << " by key "
                        << ReleaseSigner::publicKeyOf(key).toBase64() << '\n';
    return 0;
}
