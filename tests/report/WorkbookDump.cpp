#include "WorkbookDump.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtDebug>

namespace WorkbookDump {

namespace {

QByteArray run(const QStringList &arguments, bool *ok, int *exitCode = nullptr, QString *errors = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("/usr/bin/python3"),
                  QStringList{QStringLiteral(XLSX_TOOL)} + arguments);
    const bool finished = process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit;
    *ok = finished && process.exitCode() == 0;
    if (exitCode)
        *exitCode = finished ? process.exitCode() : -1;
    const QByteArray stderrText = process.readAllStandardError();
    if (errors)
        *errors = QString::fromUtf8(stderrText);
    else if (!*ok)
        qWarning() << "xlsx_tool" << arguments << stderrText;
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

int check(const QStringList &arguments, QString *errors)
{
    bool ok = false;
    int exitCode = -1;
    run(arguments, &ok, &exitCode, errors);
    // A machine that is meant to have LibreOffice must not pass a check it could not make.
    if (exitCode == 77 && qEnvironmentVariableIsSet("CI")) {
        if (errors)
            *errors += QStringLiteral("\nLibreOffice is missing, but CI is set: the second reader's check cannot be skipped");
        return 1;
    }
    return exitCode;
}

int crossCheck(const QString &folder, QString *errors)
{
    return check({QStringLiteral("crosscheck"), folder}, errors);
}

bool make(const QStringList &arguments)
{
    bool ok = false;
    run(arguments, &ok);
    return ok;
}

} // namespace WorkbookDump
