#include "SetupForm.h"

#include "ui_MainWindow.h"

#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <tuple>

namespace SetupForm {

namespace {

const QString group = QStringLiteral("Form/");

bool isKeptElsewhere(const QString &name)
{
    return name == QLatin1String("editIpPowerMeter") || name == QLatin1String("checkBoxRf")
        || name == QLatin1String("checkBoxAlc") || name == QLatin1String("comboBoxUsbHid")
        || name == QLatin1String("editUnit") || name.startsWith(QLatin1String("qt_"));
}

void check(QRadioButton *button, QRadioButton *other, bool first)
{
    (first ? button : other)->setChecked(true);
}

void uncheckBoth(QRadioButton *a, QRadioButton *b)
{
    for (QRadioButton *button : {a, b}) {
        button->setAutoExclusive(false);
        button->setChecked(false);
        button->setAutoExclusive(true);
    }
}

template <typename T>
bool takeEdit(T &kept, const T &before, const T &now)
{
    if (now == before)
        return false;
    kept = now;
    return true;
}

// The fields of a measurement that the form holds, edited into one of the setup; whether any was.
bool takeEdits(MeasurementSetup &kept, const MeasurementSetup &before, const MeasurementSetup &now)
{
    bool edited = takeEdit(kept.start, before.start, now.start);
    edited |= takeEdit(kept.stop, before.stop, now.stop);
    edited |= takeEdit(kept.pointsMode, before.pointsMode, now.pointsMode);
    edited |= takeEdit(kept.points, before.points, now.points);
    edited |= takeEdit(kept.step, before.step, now.step);
    edited |= takeEdit(kept.power, before.power, now.power);
    edited |= takeEdit(kept.delay, before.delay, now.delay);
    edited |= takeEdit(kept.cycle, before.cycle, now.cycle);
    edited |= takeEdit(kept.powerStep, before.powerStep, now.powerStep);
    if (kept.kind == MeasurementSetup::Kind::Power) {
        edited |= takeEdit(kept.oneFrequency, before.oneFrequency, now.oneFrequency);
        edited |= takeEdit(kept.fetchValues, before.fetchValues, now.fetchValues);
    } else {
        edited |= takeEdit(kept.span, before.span, now.span);
        edited |= takeEdit(kept.displayLine, before.displayLine, now.displayLine);
    }
    return edited;
}

QString corners(const LimitMask &mask)
{
    return mask.size() == 1 ? QStringLiteral("1 point") : QStringLiteral("%1 points").arg(mask.size());
}

const MeasurementSetup &ofKind(const BenchSetup &form, MeasurementSetup::Kind kind)
{
    return form.measurements.at(form.measurements.at(0).kind == kind ? 0 : 1);
}

MeasurementSetup::Kind shownKind(const BenchSetup &form)
{
    return form.measurements.at(0).run ? form.measurements.at(0).kind : form.measurements.at(1).kind;
}

} // namespace

QString limitsText(const MeasurementLimits &limits, MeasurementSetup::Kind kind)
{
    if (!limits.present)
        return QStringLiteral("none");
    QStringList parts;
    // A spur measurement's upper and lower judge its carrier.
    const QString carrier = kind == MeasurementSetup::Kind::Spur ? QStringLiteral("carrier ") : QString();
    if (!limits.maxSpur.isEmpty())
        parts << QStringLiteral("max spur ") + corners(limits.maxSpur);
    if (!limits.upper.isEmpty())
        parts << carrier + QStringLiteral("upper ") + corners(limits.upper);
    if (!limits.lower.isEmpty())
        parts << carrier + QStringLiteral("lower ") + corners(limits.lower);
    if (limits.relativeTo == MeasurementLimits::RelativeTo::Output && (!limits.upper.isEmpty() || !limits.lower.isEmpty()))
        parts << QStringLiteral("relative to output");
    if (limits.margin > 0)
        parts << QStringLiteral("margin %1 dB").arg(limits.margin);
    return parts.join(QStringLiteral(", "));
}

BenchSetup withEdits(const BenchSetup &opened, const BenchSetup &before, const BenchSetup &now)
{
    BenchSetup setup = opened;
    // Each instrument as a whole: an address typed for one the setup left out adds it.
    if (std::tie(now.hasSynthesizer, now.transport, now.synthesizerAddress)
        != std::tie(before.hasSynthesizer, before.transport, before.synthesizerAddress)) {
        setup.hasSynthesizer = now.hasSynthesizer;
        setup.transport = now.transport;
        setup.synthesizerAddress = now.synthesizerAddress;
    }
    if (std::tie(now.hasPowerMeter, now.powerMeterAddress, now.channel)
        != std::tie(before.hasPowerMeter, before.powerMeterAddress, before.channel)) {
        setup.hasPowerMeter = now.hasPowerMeter;
        setup.powerMeterAddress = now.powerMeterAddress;
        setup.channel = now.channel;
    }
    if (std::tie(now.hasAnalyzer, now.analyzerAddress, now.rohdeSchwarz)
        != std::tie(before.hasAnalyzer, before.analyzerAddress, before.rohdeSchwarz)) {
        setup.hasAnalyzer = now.hasAnalyzer;
        setup.analyzerAddress = now.analyzerAddress;
        setup.rohdeSchwarz = now.rohdeSchwarz;
    }

    int running = 0;
    for (const MeasurementSetup &m : opened.measurements)
        running += m.run ? 1 : 0;
    const MeasurementSetup::Kind shown = shownKind(now);
    const bool tabChosen = running <= 1 && shown != shownKind(before);
    for (const MeasurementSetup::Kind kind : {MeasurementSetup::Kind::Power, MeasurementSetup::Kind::Spur}) {
        const MeasurementSetup &was = ofKind(before, kind);
        const MeasurementSetup &is = ofKind(now, kind);
        auto kept = std::find_if(setup.measurements.begin(), setup.measurements.end(),
                                 [kind](const MeasurementSetup &m) { return m.kind == kind; });
        if (kept != setup.measurements.end()) {
            takeEdits(*kept, was, is);
            continue;
        }
        // A tab the setup has no measurement for showed what the form held before: it joins the
        // setup only when it was edited, or chosen to run.
        MeasurementSetup added = was;
        const bool edited = takeEdits(added, was, is);
        added.run = tabChosen && kind == shown;
        if (edited || added.run)
            setup.measurements << added;
    }
    if (tabChosen) {
        bool first = true;
        for (MeasurementSetup &m : setup.measurements) {
            m.run = first && m.kind == shown;
            first = first && !m.run;
        }
    }
    return setup;
}

BenchSetup fromForm(const Ui::MainWindow &ui)
{
    BenchSetup setup;
    // An instrument without an address is left out: the setup then reads back as written.
    if (ui.radioUsbCom->isChecked()) {
        setup.transport = BenchSetup::Transport::Serial;
        setup.synthesizerAddress = ui.comboBoxCom->currentText();
    } else if (ui.radioUsbHid->isChecked()) {
        setup.transport = BenchSetup::Transport::Hid;
        setup.synthesizerAddress = ui.comboBoxUsbHid->currentText();
    } else {
        setup.transport = BenchSetup::Transport::Lan;
        setup.synthesizerAddress = ui.editIpLine->text();
    }
    setup.hasSynthesizer = !setup.synthesizerAddress.trimmed().isEmpty();
    setup.powerMeterAddress = ui.editIpPowerMeter->text();
    setup.hasPowerMeter = !setup.powerMeterAddress.trimmed().isEmpty();
    setup.channel = ui.radioButtonChA->isChecked() ? QStringLiteral("A")
                  : ui.radioButtonChB->isChecked() ? QStringLiteral("B")
                                                   : QString();
    setup.analyzerAddress = ui.editIpSpectrumAnalyzer->text();
    setup.hasAnalyzer = !setup.analyzerAddress.trimmed().isEmpty();
    setup.rohdeSchwarz = ui.radioButtonRohdeShwarz->isChecked();

    MeasurementSetup power = MeasurementSetup::defaults(MeasurementSetup::Kind::Power);
    power.start = ui.doubleSpinBoxFreqStartMeas->value();
    power.stop = ui.doubleSpinBoxFreqStopMeas->value();
    power.points = quint64(qMax(0, ui.spinBoxPointsFreq->value()));
    power.step = ui.doubleSpinBoxStepFreq->value();
    power.pointsMode = !ui.radioButtonStep->isChecked();
    power.power = ui.doubleSpinBoxAmplMeasure->value();
    power.delay = ui.spinBoxDelay->value();
    power.cycle = ui.checkBoxCycle->isChecked();
    power.powerStep = ui.spinBoxPowerStep->value();
    power.oneFrequency = ui.checkBoxCyclePower->isChecked();
    power.fetchValues = ui.checkBoxFetchValues->isChecked();

    // The spur measurement cycles with the power tab's cycle options.
    MeasurementSetup spur = MeasurementSetup::defaults(MeasurementSetup::Kind::Spur);
    spur.start = ui.doubleSpinBoxFreqStartMeasSpectrumAnalyzer->value();
    spur.stop = ui.doubleSpinBoxFreqStopMeasSpectrumAnalyzer->value();
    spur.points = quint64(qMax(0, ui.spinBoxPointsFreqSpectrumAnalyzer->value()));
    spur.step = ui.doubleSpinBoxStepFreqSpectrumAnalyzer->value();
    spur.pointsMode = !ui.radioButtonStepSpectrumAnalyzer->isChecked();
    spur.power = ui.doubleSpinBoxAmplMeasureSpectrumAnalyzer->value();
    spur.delay = ui.spinBoxDelaySpectrumAnalyzer->value();
    spur.cycle = power.cycle;
    spur.powerStep = power.powerStep;
    spur.span = ui.doubleSpinBoxSpan->value();
    spur.displayLine = ui.doubleSpinBoxDisplayLine->value();

    const bool spurShown = ui.tabMeasuirngDevice->currentIndex() == 1;
    power.run = !spurShown;
    spur.run = spurShown;
    setup.measurements << power << spur;
    return setup;
}

void toForm(const BenchSetup &setup, Ui::MainWindow &ui, QString *hidDevice)
{
    if (setup.hasSynthesizer) {
        switch (setup.transport) {
        case BenchSetup::Transport::Lan:
            ui.radioLan->setChecked(true);
            ui.editIpLine->setText(setup.synthesizerAddress);
            break;
        case BenchSetup::Transport::Serial:
            ui.radioUsbCom->setChecked(true);
            break;
        case BenchSetup::Transport::Hid:
            ui.radioUsbHid->setChecked(true);
            *hidDevice = setup.synthesizerAddress;
            break;
        }
    }
    if (setup.hasPowerMeter) {
        ui.editIpPowerMeter->setText(setup.powerMeterAddress);
        if (setup.channel.isEmpty())
            uncheckBoth(ui.radioButtonChA, ui.radioButtonChB);
        else
            check(ui.radioButtonChA, ui.radioButtonChB, setup.channel == QLatin1String("A"));
    }
    if (setup.hasAnalyzer) {
        ui.editIpSpectrumAnalyzer->setText(setup.analyzerAddress);
        check(ui.radioButtonRohdeShwarz, ui.radioButtonKvd4471B, setup.rohdeSchwarz);
    }

    const MeasurementSetup *power = nullptr;
    const MeasurementSetup *spur = nullptr;
    const MeasurementSetup *shown = nullptr;
    for (const MeasurementSetup &m : setup.measurements) {
        const MeasurementSetup *&slot = m.kind == MeasurementSetup::Kind::Power ? power : spur;
        if (!slot)
            slot = &m;
        if (!shown && m.run)
            shown = &m;
    }
    if (!shown)
        shown = power ? power : spur;
    if (power) {
        ui.doubleSpinBoxFreqStartMeas->setValue(power->start);
        ui.doubleSpinBoxFreqStopMeas->setValue(power->stop);
        ui.spinBoxPointsFreq->setValue(int(power->points));
        ui.doubleSpinBoxStepFreq->setValue(power->step);
        check(ui.radioButtonPoints, ui.radioButtonStep, power->pointsMode);
        ui.doubleSpinBoxAmplMeasure->setValue(power->power);
        ui.spinBoxDelay->setValue(power->delay);
        ui.checkBoxCyclePower->setChecked(power->oneFrequency);
        ui.checkBoxFetchValues->setChecked(power->fetchValues);
    }
    if (spur) {
        ui.doubleSpinBoxFreqStartMeasSpectrumAnalyzer->setValue(spur->start);
        ui.doubleSpinBoxFreqStopMeasSpectrumAnalyzer->setValue(spur->stop);
        ui.spinBoxPointsFreqSpectrumAnalyzer->setValue(int(spur->points));
        ui.doubleSpinBoxStepFreqSpectrumAnalyzer->setValue(spur->step);
        check(ui.radioButtonPointsSpectrumAnalyzer, ui.radioButtonStepSpectrumAnalyzer, spur->pointsMode);
        ui.doubleSpinBoxAmplMeasureSpectrumAnalyzer->setValue(spur->power);
        ui.spinBoxDelaySpectrumAnalyzer->setValue(spur->delay);
        ui.doubleSpinBoxSpan->setValue(spur->span);
        ui.doubleSpinBoxDisplayLine->setValue(spur->displayLine);
    }
    // The unit and its operator as the setup gives them, if it does; the fields are the window's.
    if (!setup.unitSerial.isEmpty())
        ui.editUnit->setText(setup.unitSerial);
    if (!setup.operatorName.isEmpty())
        ui.editOperator->setText(setup.operatorName);
    if (shown) {
        ui.checkBoxCycle->setChecked(shown->cycle);
        ui.spinBoxPowerStep->setValue(shown->powerStep);
        ui.tabMeasuirngDevice->setCurrentIndex(shown->kind == MeasurementSetup::Kind::Power ? 0 : 1);
    }
}

void save(const QWidget *form, QSettings &settings)
{
    for (const QWidget *widget : form->findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        if (name.isEmpty() || isKeptElsewhere(name))
            continue;
        QVariant value;
        if (const auto *spin = qobject_cast<const QDoubleSpinBox *>(widget))
            value = spin->value();
        else if (const auto *spin = qobject_cast<const QSpinBox *>(widget))
            value = spin->value();
        else if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            value = button->isCheckable() ? QVariant(button->isChecked()) : QVariant();
        else if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
            value = edit->text();
        else if (const auto *combo = qobject_cast<const QComboBox *>(widget))
            value = combo->currentText();
        else if (const auto *tabs = qobject_cast<const QTabWidget *>(widget))
            value = tabs->currentIndex();
        if (value.isValid())
            settings.setValue(group + name, value);
    }
}

void restore(QWidget *form, const QSettings &settings)
{
    for (QWidget *widget : form->findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        const QVariant value = settings.value(group + name);
        if (name.isEmpty() || isKeptElsewhere(name) || !value.isValid())
            continue;
        if (auto *spin = qobject_cast<QDoubleSpinBox *>(widget)) {
            spin->setValue(value.toDouble());
        } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
            spin->setValue(value.toInt());
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            // A radio button is checked by the one saved as checked, never unchecked alone.
            if (button->isCheckable() && (value.toBool() || !qobject_cast<QRadioButton *>(widget)))
                button->setChecked(value.toBool());
        } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
            if (!qobject_cast<QAbstractSpinBox *>(widget->parentWidget()))
                edit->setText(value.toString());
        } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            const int index = combo->findText(value.toString());
            if (index >= 0)
                combo->setCurrentIndex(index);
        } else if (auto *tabs = qobject_cast<QTabWidget *>(widget)) {
            tabs->setCurrentIndex(value.toInt());
        }
    }
}

} // namespace SetupForm
