// The introspection document, exactly, and as bus tools read it.
#include "bus_fixture.h"
#include "internal.h"

using namespace zeldbus_test;

namespace {

const std::string kHead =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\""
    "         \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\"><node>";
const std::string kSelf =
    "<interface name=\"org.freedesktop.DBus.Introspectable\"><method name=\"Introspect\">"
    "<arg direction=\"out\" type=\"s\" name=\"xml_data\"/></method></interface>";

std::string Method(const std::string& name)
{
    return "<method name=\"" + name + "\"><arg name=\"data\" direction=\"in\" type=\"ay\"/></method>";
}

void Nop(int, unsigned char*, int, unsigned int) {}

class Document : public ::testing::Test {
protected:
    void Configure(const char* path, std::vector<const char*> names)
    {
        zeldbus_disconnect();
        ASSERT_EQ(0, zeldbus_init(path, kService, 0, nullptr, 0));
        for (const char* name : names)
            ASSERT_EQ(0, zeldbus_subscribeToMessage(name, Nop));
    }
    std::string On(const char* callPath)
    {
        return zeldbus::introspectionDocument(callPath).toStdString();
    }
};

TEST_F(Document, ServicePathListsMethodsInRegistryOrder)
{
    Configure("/", {"com.zel.vyrna.StoreData", "com.zel.vyrna.RetrieveData", "com.zel.vyrna.ClearData"});
    std::string expected = kHead + "<interface name=\"com.zel.vyrna\">" + Method("ClearData")
                           + Method("RetrieveData") + Method("StoreData") + "</interface>" + kSelf
                           + "</node>";
    EXPECT_EQ(expected, On("/"));
    EXPECT_EQ(expected, On("/any/other"));
}

TEST_F(Document, LibraryPathBelowRootShowsAChildNodeOnRoot)
{
    Configure("/a/b", {"com.zel.vyrna.StoreData"});
    EXPECT_EQ(kHead + "<node name=\"a/b\"/></node>", On("/"));
    std::string described = kHead + "<interface name=\"com.zel.vyrna\">" + Method("StoreData")
                            + "</interface>" + kSelf + "</node>";
    EXPECT_EQ(described, On("/a/b"));
    EXPECT_EQ(described, On("/elsewhere"));
}

TEST_F(Document, AllMethodsGoUnderTheFirstNamesInterface)
{
    Configure("/", {"org.b.Second", "org.a.First", "Bare"});
    EXPECT_EQ(kHead + "<interface name=\"Bare\">" + Method("Bare") + Method("First") + Method("Second")
                  + "</interface>" + kSelf + "</node>",
              On("/"));
}

TEST_F(Document, WithoutHandlersOnlyTheIntrospectionInterface)
{
    Configure("/", {});
    EXPECT_EQ(kHead + kSelf + "</node>", On("/"));
}

class OverTheBus : public ServiceTest {};

TEST_F(OverTheBus, ExactDocumentAsSentAndBusToolsAcceptIt)
{
    RawPeer peer;
    DBusMessage* call = dbus_message_new_method_call(kService, "/", DBUS_INTERFACE_INTROSPECTABLE,
                                                     "Introspect");
    DBusPendingCall* pending = nullptr;
    dbus_connection_send_with_reply(peer.connection(), call, &pending, 5000);
    dbus_connection_flush(peer.connection());
    dbus_message_unref(call);
    DBusMessage* reply = peer.answer(pending);
    EXPECT_EQ(kHead + "<interface name=\"com.zel.test\">" + Method("Another") + Method("Reverse")
                  + Method("Silent") + "</interface>" + kSelf + "</node>",
              StringArg(reply));
    dbus_message_unref(reply);

    zeltest::CommandResult gdbus = ServeWhile({"gdbus", "introspect", "--system", "--dest", kService,
                                               "--object-path", "/"});
    EXPECT_EQ(0, gdbus.exitStatus) << gdbus.err;
    EXPECT_NE(std::string::npos, gdbus.out.find("interface com.zel.test {")) << gdbus.out;
    EXPECT_NE(std::string::npos, gdbus.out.find("Reverse(in  ay data);")) << gdbus.out;
    EXPECT_NE(std::string::npos, gdbus.out.find("Introspect(out s xml_data);")) << gdbus.out;

    zeltest::CommandResult busctl = ServeWhile({"busctl", "--system", "introspect", kService, "/"});
    EXPECT_EQ(0, busctl.exitStatus) << busctl.err;
    for (const char* line : {"com.zel.test ", ".Another ", ".Reverse ", ".Silent ", ".Introspect "})
        EXPECT_NE(std::string::npos, busctl.out.find(line)) << line << "\n" << busctl.out;
}

}  // namespace
