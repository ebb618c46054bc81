#include "Counted.h"

namespace Counted {

QString of(qint64 count, const char *noun)
{
    QString text = QString::number(count) + QLatin1Char(' ') + QLatin1String(noun);
    if (count != 1)
        text += text.endsWith(QLatin1Char('s')) ? QStringLiteral("es") : QStringLiteral("s");
    return text;
}

} // namespace Counted
