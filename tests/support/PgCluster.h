#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private PostgreSQL server for a test: a cluster in a temporary folder, listening on a Unix
// socket in that folder only, stopped and removed at the end. Run as root, the server runs as the
// "postgres" system user, since initdb refuses root.
class PgCluster
{
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // Why no server can be started here (no server programs); empty when one can.
    static QString missing();

    // Makes the cluster on its first start; false with *error when the server did not start.
    bool start(QString *error);
    // A fast shutdown: connections are cut, as when a server restarts.
    bool stop();

    QString socketFolder() const { return folder.path(); }
    int port() const { return 54329; }
    // The cluster's superuser; it logs in without a password, every other role with one.
    static QString admin() { return QStringLiteral("rfbench_admin"); }
    // "postgresql://user@<socket folder>:port/database"
    QString address(const QString &user, const QString &database) const;
    QString log() const;

private:
    bool runAsServer(const QString &program, const QStringList &arguments, QString *error);

    QTemporaryDir folder;
    bool made = false;
    bool running = false;
};
