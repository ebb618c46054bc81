#include "WorkbookDump.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtDebug>

namespace WorkbookDump {

namespace {

QByteArray run(const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(QStringLiteral("/usr/bin/python3"),
                  QStringList{QStringLiteral(XLSX_TOOL)} + arguments);
    *ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
          && process.exitCode() == 0;
    if (!*ok)
        qWarning() << "xlsx_tool" << arguments << process.readAllStandardError();
    return process.readAllStandardOutput();
}

} // namespace

QJsonObject dump(const QString &path)
{
    bool ok = false;
    const QByteArray out = run({QStringLiteral("dump"), path}, &ok);
    return ok ? QJsonDocument::fromJson(out).object() : QJsonObject();
}

QMap<QString, QString> cells(const QJsonObject &dump, const QString &sheet)
{
    QMap<QString, QString> result;
    const QJsonObject all = dump.value(QStringLiteral("cells")).toObject().value(sheet).toObject();
    for (auto it = all.begin(); it != all.end(); ++it) {
        const QJsonArray pair = it.value().toArray();
        const QString kind = pair.at(0).toString();
        const QString value = kind == QLatin1String("n")
                                  ? QString::number(pair.at(1).toDouble(), 'g', 15)
                                  : pair.at(1).toVariant().toString();
        result.insert(it.key(), kind + QLatin1Char(':') + value);
    }
    return result;
}

bool make(const QStringList &arguments)
{
    bool ok = false;
    run(arguments, &ok);
    return ok;
}

} // namespace WorkbookDump
