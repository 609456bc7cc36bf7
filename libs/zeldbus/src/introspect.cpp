// The answer to org.freedesktop.DBus.Introspectable.Introspect, built from
// the handler registry: every registered method with one byte-array argument.
#include "internal.h"

namespace zeldbus {

namespace {

const char kDoctype[] =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\""
    "         \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">";

const char kIntrospectable[] =
    "<interface name=\"org.freedesktop.DBus.Introspectable\">"
    "<method name=\"Introspect\">"
    "<arg direction=\"out\" type=\"s\" name=\"xml_data\"/>"
    "</method>"
    "</interface>";

QString BeforeLastDot(const QString& name)
{
    int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

QString AfterLastDot(const QString& name)
{
    return name.mid(name.lastIndexOf(QLatin1Char('.')) + 1);
}

QString Methods()
{
    // With no handler registered there is no interface to name; the
    // document then describes only the introspection interface.
    if (g_methodCallbacks.isEmpty())
        return QString();
    QString xml = QStringLiteral("<interface name=\"%1\">")
                      .arg(BeforeLastDot(g_methodCallbacks.firstKey()));
    for (auto it = g_methodCallbacks.constBegin(); it != g_methodCallbacks.constEnd(); ++it) {
        xml += QStringLiteral("<method name=\"%1\">").arg(AfterLastDot(it.key()));
        xml += QLatin1String("<arg name=\"data\" direction=\"in\" type=\"ay\"/>");
        xml += QLatin1String("</method>");
    }
    xml += QLatin1String("</interface>");
    return xml;
}

}  // namespace

QString introspectionDocument(const char* callPath)
{
    QString xml = QLatin1String(kDoctype);
    xml += QLatin1String("<node>");
    bool onRoot = callPath != nullptr && qstrcmp(callPath, "/") == 0;
    if (onRoot && qstrcmp(g_dbusLibPath, "/") != 0) {
        xml += QStringLiteral("<node name=\"%1\"/>")
                   .arg(QString::fromLatin1(g_dbusLibPath).mid(1));
    } else {
        xml += Methods();
        xml += QLatin1String(kIntrospectable);
    }
    xml += QLatin1String("</node>");
    return xml;
}

int replyToIntrospect(DBusMessage* call)
{
    QByteArray document = introspectionDocument(dbus_message_get_path(call)).toLatin1();
    return replyStr(call, document.constData());
}

}  // namespace zeldbus
