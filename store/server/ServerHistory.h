#pragma once

#include "RunHistory.h"
#include "ServerAddress.h"

#include <QSqlDatabase>
#include <QVariantList>

class QSqlQuery;

// Every station's runs as the shared results server holds them, read through its run_list view.
// Run ids are the server's own, unique across stations. Used from the thread that opened it.
class ServerHistory : public RunHistory
{
public:
    // addressError: why the address could not be used; then nothing is connected and problem() says it.
    explicit ServerHistory(const ServerAddress &address, const QString &addressError = QString());
    ~ServerHistory() override;
    ServerHistory(const ServerHistory &) = delete;
    ServerHistory &operator=(const ServerHistory &) = delete;

    QString problem() const override { return problemText; }
    QString where() const override { return address.shown(); }
    bool knowsWorkbookRows() const override { return false; }

    QList<RunSummary> runs(const RunFilter &filter) override;
    RunSummary run(qint64 id) override;
    QList<StoredPoint> points(qint64 run) override;
    QList<RunTrouble> troubles(qint64 run) override;
    QList<StoredPass> passes(qint64 run) override;
    QStringList stations() override;

private:
    // The query run with these values, or false with problem() set.
    bool exec(QSqlQuery &query, const char *sql, const QVariantList &values);
    RunSummary summaryOf(QSqlQuery &query);

    const ServerAddress address;
    const QString connectionName;
    QSqlDatabase database;
    QString problemText;
};
