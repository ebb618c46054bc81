// What an operator sees of the window on a desktop: run on a real X server (Xvfb, xcb), where
// text measures as it does for the operator and widgets stack as they are drawn.

#include "MainWindow.h"
#include "Pause.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QToolButton>
#include <QToolTip>
#include <QtTest>

#include <memory>

namespace {

// The texts each state label can take.
const QMap<QString, QStringList> stateTexts{
    {"label", {"<FONT COLOR=#008000>СОЕДИНЕНО</font>", "<FONT COLOR=red>НЕТ СОЕДИНЕНИЯ</font>",
               "<FONT COLOR=red>ComPort close</font>"}},
    {"labelIsConnect", {"<FONT COLOR=#008000>СОЕДИНЕНО</font>", "<FONT COLOR=red>НЕТ СОЕДИНЕНИЯ</font>"}},
    {"labelIsConnect_2", {"<FONT COLOR=#008000>СОЕДИНЕНО</font>", "<FONT COLOR=red>НЕТ СОЕДИНЕНИЯ</font>"}},
};

bool isControl(const QWidget *widget)
{
    return qobject_cast<const QAbstractButton *>(widget) || qobject_cast<const QLineEdit *>(widget)
           || qobject_cast<const QAbstractSpinBox *>(widget) || qobject_cast<const QComboBox *>(widget);
}

bool named(const QWidget *widget)
{
    return !widget->objectName().isEmpty() && !widget->objectName().startsWith(QLatin1String("qt_"));
}

// The tooltip shown with the pointer resting on the widget at this point of the window.
QString tipAt(QWidget *window, QWidget *hit, const QPoint &at)
{
    const QPoint local = hit->mapFrom(window, at);
    QHelpEvent hover(QEvent::ToolTip, local, hit->mapToGlobal(local));
    QCoreApplication::sendEvent(hit, &hover);
    const QString tip = QToolTip::isVisible() ? QToolTip::text() : QString();
    QToolTip::hideText();
    return tip;
}

// Room that a label's or button's text needs, and the room it has; empty when it fits.
QString clipped(QWidget *widget, const QString &text)
{
    const QFontMetrics metrics(widget->font());
    QSize need;
    QSize room = widget->contentsRect().size();
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        const QString plain = Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
        room -= QSize(2 * label->margin(), 2 * label->margin());
        // A wrapping label breaks between words only: each word must fit its width.
        const QStringList lines = plain.split(label->wordWrap() ? QRegularExpression(QStringLiteral("\\s+"))
                                                                : QRegularExpression(QStringLiteral("\n")));
        int width = 0;
        for (const QString &line : lines)
            width = qMax(width, metrics.horizontalAdvance(line));
        const int rows = label->wordWrap()
                             ? metrics.boundingRect(QRect(0, 0, room.width(), 10000), Qt::TextWordWrap, plain).height()
                                   / metrics.lineSpacing()
                             : lines.size();
        // Height: the inked rows of the text, which a label centres in its room.
        need = QSize(width, (rows - 1) * metrics.lineSpacing() + metrics.tightBoundingRect(plain).height());
    } else if (qobject_cast<QPushButton *>(widget)) {
        // The text and a little margin: the style's minimum button width is not the text's need.
        need = QSize(metrics.horizontalAdvance(text) + 8, metrics.tightBoundingRect(text).height());
    } else {
        // Check boxes and radio buttons: the indicator, its spacing and the text.
        const int lines = text.count(QLatin1Char('\n'));
        need = QSize(widget->sizeHint().width(),
                     qMax(widget->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, widget),
                          lines * metrics.lineSpacing() + metrics.tightBoundingRect(text).height()));
        room = widget->size();
    }
    if (need.width() <= room.width() && need.height() <= room.height())
        return QString();
    return QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
        .arg(widget->objectName(), text)
        .arg(need.width())
        .arg(need.height())
        .arg(room.width())
        .arg(room.height());
}

} // namespace

class tst_WindowLayout : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;

    template<typename T = QWidget>
    T *widget(const char *name) { return window->findChild<T *>(QLatin1String(name)); }

private slots:
    void initTestCase();
    // Every visible control takes a press at its centre and there shows a tooltip in English (a
    // number's names its unit, a disabled control's says what must come first); every text fits.
    void everyControlTakesItsPressAndEveryTextFits_data();
    void everyControlTakesItsPressAndEveryTextFits();
};

void tst_WindowLayout::initTestCase()
{
    Pause::setSleepFunction([](unsigned long) {});
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs the xcb platform on an X server (Xvfb), where text measures as on a desktop");
}

void tst_WindowLayout::everyControlTakesItsPressAndEveryTextFits_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("sweepTab");
    QTest::addColumn<int>("modulationTab");
    QTest::addColumn<int>("measurementTab");
    QTest::addColumn<bool>("stepMode");
    QTest::addColumn<bool>("cycle");
    QTest::addColumn<bool>("limits"); // a setup with limits on both tabs opened
    QTest::newRow("at start") << "radioLan" << 1 << 1 << 0 << false << false << false;
    QTest::newRow("LAN, frequency sweep, AM") << "radioLan" << 0 << 0 << 0 << false << false << false;
    QTest::newRow("USB-COM, power meter in step mode, cycling")
        << "radioUsbCom" << 1 << 1 << 0 << true << true << false;
    QTest::newRow("USB-HID, analyzer in points mode") << "radioUsbHid" << 0 << 1 << 1 << false << false << false;
    QTest::newRow("back to LAN, analyzer in step mode") << "radioLan" << 1 << 0 << 1 << true << false << false;
    QTest::newRow("limits, power meter cycling") << "radioLan" << 1 << 1 << 0 << false << true << true;
    QTest::newRow("limits, analyzer") << "radioLan" << 1 << 1 << 1 << false << false << true;
}

void tst_WindowLayout::everyControlTakesItsPressAndEveryTextFits()
{
    QFETCH(QString, transport);
    QFETCH(int, sweepTab);
    QFETCH(int, modulationTab);
    QFETCH(int, measurementTab);
    QFETCH(bool, stepMode);
    QFETCH(bool, cycle);
    QFETCH(bool, limits);

    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    if (limits) {
        QTemporaryDir folder;
        QFile setup(folder.filePath(QStringLiteral("limits.json")));
        QVERIFY(setup.open(QIODevice::WriteOnly));
        setup.write(R"({"format": 1, "measurements": [
  {"kind": "power", "start": 1000, "stop": 2000, "points": 11,
   "limits": {"upper": [[1000, 1], [2000, 1]], "lower": [[1000, -1], [2000, -1]], "relativeTo": "output", "margin": 0.5}},
  {"kind": "spur", "run": false, "start": 1000, "stop": 2000, "points": 11,
   "limits": {"maxSpur": [[1000, -60], [2000, -60]], "carrier": {"lower": [[1000, -3], [2000, -3]]}}}]})");
        setup.close();
        QCOMPARE(window->openSetup(setup.fileName()), QString());
    }
    if (transport != QLatin1String("radioLan"))
        window->findChild<QAbstractButton *>(transport)->click();
    widget<QTabWidget>("tabWidget")->setCurrentIndex(sweepTab);
    widget<QTabWidget>("tabWidget_2")->setCurrentIndex(modulationTab);
    widget<QTabWidget>("tabMeasuirngDevice")->setCurrentIndex(measurementTab);
    const bool analyzer = measurementTab == 1;
    if (stepMode)
        widget<QAbstractButton>(analyzer ? "radioButtonStepSpectrumAnalyzer" : "radioButtonStep")->click();
    else if (analyzer)
        widget<QAbstractButton>("radioButtonPointsSpectrumAnalyzer")->click();
    if (cycle)
        widget<QAbstractButton>("checkBoxCycle")->click();
    QCoreApplication::processEvents();

    QStringList faults;
    const QList<QWidget *> all = widget("centralWidget")->findChildren<QWidget *>();
    for (QWidget *w : all) {
        if (!w->isVisible() || !named(w))
            continue;
        if (isControl(w)) {
            const QPoint centre = w->mapTo(window.get(), w->rect().center());
            QWidget *hit = window->childAt(centre);
            if (hit != w && !w->isAncestorOf(hit))
                faults << QStringLiteral("%1 is covered at its centre by %2")
                              .arg(w->objectName(), hit ? hit->objectName() : QStringLiteral("nothing"));
            const QString tip = hit ? tipAt(window.get(), hit, centre) : QString();
            static const QRegularExpression unit(QStringLiteral("MHz|dBm|dB\\b|ms\\b|%|points"));
            static const QRegularExpression notEnglish(QStringLiteral("[\\x{0400}-\\x{04FF}]"));
            if (tip.isEmpty() || tip.contains(notEnglish))
                faults << QStringLiteral("%1 shows no tooltip in English: \"%2\"").arg(w->objectName(), tip);
            else if (qobject_cast<QAbstractSpinBox *>(w) && !tip.contains(unit))
                faults << QStringLiteral("%1's tooltip names no unit: \"%2\"").arg(w->objectName(), tip);
            else if (!w->isEnabled() && !tip.endsWith(QLatin1String(" first.")))
                faults << QStringLiteral("%1 is disabled and its tooltip does not say what comes first: \"%2\"")
                              .arg(w->objectName(), tip);
        }
        QString text;
        if (auto *label = qobject_cast<QLabel *>(w))
            text = label->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(w))
            text = button->text();
        const QStringList texts = stateTexts.contains(w->objectName()) ? stateTexts.value(w->objectName())
                                                                     : QStringList{text};
        for (const QString &shown : texts) {
            if (shown.isEmpty())
                continue;
            const QString fault = clipped(w, shown);
            if (!fault.isEmpty())
                faults << fault;
        }
        if (auto *line = qobject_cast<QFrame *>(w); line && w->objectName().startsWith(QLatin1String("line"))) {
            if (line->visibleRegion().boundingRect() != line->rect())
                faults << QStringLiteral("%1 is cut to %2 of its %3 pixel rows")
                              .arg(w->objectName())
                              .arg(line->visibleRegion().boundingRect().height())
                              .arg(line->height());
        }
    }
    for (QTabWidget *tabs : window->findChildren<QTabWidget *>()) {
        QTabBar *bar = tabs->tabBar();
        for (QToolButton *scroll : bar->findChildren<QToolButton *>())
            if (scroll->isVisible())
                faults << QStringLiteral("the tab bar of %1 scrolls").arg(tabs->objectName());
        for (int i = 0; i < bar->count(); ++i) {
            const QRect tab = bar->tabRect(i);
            if (!bar->rect().contains(tab))
                faults << QStringLiteral("tab \"%1\" of %2 lies outside its bar").arg(bar->tabText(i), tabs->objectName());
            else if (window->childAt(bar->mapTo(window.get(), tab.center())) != bar)
                faults << QStringLiteral("tab \"%1\" of %2 is covered").arg(bar->tabText(i), tabs->objectName());
        }
    }
    for (const QString &fault : faults)
        qWarning("%s", qPrintable(fault));
    QVERIFY2(faults.isEmpty(), "controls covered or without their tooltip, or texts clipped (listed above)");
}

QTEST_MAIN(tst_WindowLayout)
#include "tst_WindowLayout.moc"
