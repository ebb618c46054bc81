#pragma once

#include <QList>
#include <QMetaMethod>
#include <QObject>
#include <QVariant>

// Records a signal's emissions like QSignalSpy, but receives them queued in the thread that owns
// the spy, as a window receives the worker's signals; so reading it never races with the
// emitting thread.
class QueuedSpy : public QObject, public QList<QList<QVariant>>
{
public:
    template<typename Func>
    QueuedSpy(const typename QtPrivate::FunctionPointer<Func>::Object *sender, Func signal)
    {
        const QMetaMethod method = QMetaMethod::fromSignal(signal);
        for (int i = 0; i < method.parameterCount(); ++i)
            types.append(method.parameterType(i));
        QMetaObject::connect(sender, method.methodIndex(), this,
                             QObject::staticMetaObject.methodCount(), Qt::QueuedConnection, nullptr);
    }

    int qt_metacall(QMetaObject::Call call, int id, void **arguments) override
    {
        id = QObject::qt_metacall(call, id, arguments);
        if (id < 0)
            return id;
        if (call == QMetaObject::InvokeMetaMethod && id == 0) {
            QList<QVariant> values;
            for (int i = 0; i < types.size(); ++i)
                values.append(QVariant(types.at(i), arguments[i + 1]));
            append(values);
        }
        return id - 1;
    }

private:
    QList<int> types;
};
