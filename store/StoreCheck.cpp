#include "StoreCheck.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <sqlite3.h>

#include <chrono>

StoreCheck::StoreCheck(const QString &path, int day) : file(path), checkedDay(day)
{
    thread = std::thread([this] { run(); });
}

StoreCheck::~StoreCheck()
{
    stop();
}

StoreCheck::Result StoreCheck::wait(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait_for(lock, std::chrono::milliseconds(ms), [this] { return result != Result::Running; });
    return result;
}

StoreCheck::Result StoreCheck::stop()
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        stopping = true;
        // An interrupt that comes before the statement starts is lost: it is sent until the
        // check has ended.
        while (result == Result::Running) {
            if (handle)
                sqlite3_interrupt(handle);
            ended.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    if (thread.joinable())
        thread.join();
    return result;
}

QString StoreCheck::finding() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return found;
}

void StoreCheck::end(Result checked, const QString &finding)
{
    std::lock_guard<std::mutex> lock(mutex);
    result = checked;
    found = finding;
    ended.notify_all();
}

void StoreCheck::run()
{
    const QString name = QStringLiteral("rfbench-check-%1").arg(quintptr(this), 0, 16);
    Result checked = Result::NotDone;
    QString finding;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(file);
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        bool opened = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                finding = QStringLiteral("stopped before it began");
            else if (!(opened = database.open()))
                finding = database.lastError().text();
            const QVariant driverHandle = opened ? database.driver()->handle() : QVariant();
            if (qstrcmp(driverHandle.typeName(), "sqlite3*") == 0)
                handle = *static_cast<sqlite3 *const *>(driverHandle.constData());
        }
        if (opened) {
            QSqlQuery query(database);
            query.setForwardOnly(true);
            QStringList faults;
            if (query.exec(QStringLiteral("PRAGMA quick_check")))
                while (query.next())
                    faults << query.value(0).toString();
            const QSqlError error = query.lastError();
            const int code = error.nativeErrorCode().toInt() & 0xff;
            if (!error.isValid()) {
                checked = faults == QStringList{QStringLiteral("ok")} ? Result::Sound : Result::Damaged;
                finding = faults.value(0);
            } else if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
                checked = Result::Damaged;
                finding = error.databaseText();
            } else {
                finding = error.databaseText().isEmpty() ? error.text() : error.databaseText();
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            handle = nullptr;
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
    end(checked, checked == Result::Sound ? QString() : finding);
}
