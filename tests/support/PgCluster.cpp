#include "PgCluster.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>

namespace {

QString binaries()
{
    const QString fromEnvironment = qEnvironmentVariable("RFBENCH_PG_BIN");
    return fromEnvironment.isEmpty() ? QStringLiteral("/usr/lib/postgresql/15/bin") : fromEnvironment;
}

} // namespace

PgCluster::PgCluster()
{
    // The server's user must reach its folder; as root that is "postgres", not the folder's owner.
    if (::geteuid() == 0) {
        if (const passwd *user = ::getpwnam("postgres"))
            if (::chown(QFile::encodeName(folder.path()).constData(), user->pw_uid, user->pw_gid) != 0)
                qWarning("PgCluster: the temporary folder cannot be given to postgres");
    }
}

PgCluster::~PgCluster()
{
    stop();
}

QString PgCluster::missing()
{
    for (const char *program : {"initdb", "pg_ctl"})
        if (!QFileInfo(binaries() + QLatin1Char('/') + QLatin1String(program)).isExecutable())
            return QStringLiteral("no PostgreSQL server programs in %1 (Debian package postgresql)").arg(binaries());
    if (::geteuid() == 0 && !::getpwnam("postgres"))
        return QStringLiteral("running as root, but there is no \"postgres\" user to run the server");
    return QString();
}

bool PgCluster::runAsServer(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString path = binaries() + QLatin1Char('/') + program;
    if (::geteuid() == 0)
        process.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                                                             QStringLiteral("--"), path} + arguments);
    else
        process.start(path, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    if (error)
        *error = QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(process.readAll()));
    return false;
}

bool PgCluster::start(QString *error)
{
    const QString data = folder.filePath(QStringLiteral("data"));
    if (!made) {
        if (!runAsServer(QStringLiteral("initdb"),
                         {QStringLiteral("-D"), data, QStringLiteral("-U"), admin(), QStringLiteral("-A"),
                          QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                          QStringLiteral("--no-sync")},
                         error))
            return false;
        // The superuser without a password; every other role with its own.
        QFile hba(data + QStringLiteral("/pg_hba.conf"));
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *error = hba.errorString();
            return false;
        }
        hba.write(QStringLiteral("local all %1 trust\nlocal all all scram-sha-256\n").arg(admin()).toUtf8());
        hba.close();
        made = true;
    }
    const QString options = QStringLiteral("-c listen_addresses='' -k %1 -p %2 -c fsync=off -c max_connections=20")
                                .arg(folder.path())
                                .arg(port());
    running = runAsServer(QStringLiteral("pg_ctl"),
                          {QStringLiteral("-D"), data, QStringLiteral("-l"), folder.filePath(QStringLiteral("log")),
                           QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                           options, QStringLiteral("start")},
                          error);
    return running;
}

bool PgCluster::stop()
{
    if (!running)
        return true;
    running = !runAsServer(QStringLiteral("pg_ctl"),
                           {QStringLiteral("-D"), folder.filePath(QStringLiteral("data")), QStringLiteral("-m"),
                            QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")},
                           nullptr);
    return !running;
}

QString PgCluster::address(const QString &user, const QString &database) const
{
    // One arg() call: the encoded folder's "%2F" would be taken for a placeholder by a second.
    return QStringLiteral("postgresql://%1@%2:%3/%4")
        .arg(user, QString::fromUtf8(QUrl::toPercentEncoding(folder.path())), QString::number(port()), database);
}

QString PgCluster::log() const
{
    QFile file(folder.filePath(QStringLiteral("log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(4000)) : QString();
}
