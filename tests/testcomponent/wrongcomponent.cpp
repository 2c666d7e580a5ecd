// A plugin that claims the component's class name but whose root object does not implement
// the factory interface: the host must refuse it with a clear reason.
#include <QObject>
#include <QtPlugin>

class WrongComponent : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.morvane.quillon.Unrelated/1.0" FILE "wrongcomponent.json")
};

#include "wrongcomponent.moc"
