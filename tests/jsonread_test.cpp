#include "core/jsonread.h"

#include <QFile>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The address space this process holds now, in bytes.
qint64 addressSpaceInUse()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(0).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// Lets the process grow by `room` bytes at most while it lives.
class AddressSpaceLimit
{
public:
    explicit AddressSpaceLimit(qint64 room)
    {
        ::getrlimit(RLIMIT_AS, &m_saved);
        rlimit limited = m_saved;
        limited.rlim_cur = rlim_t(addressSpaceInUse() + room);
        m_set = ::setrlimit(RLIMIT_AS, &limited) == 0;
    }
    ~AddressSpaceLimit() { ::setrlimit(RLIMIT_AS, &m_saved); }
    bool set() const { return m_set; }

private:
    rlimit m_saved{};
    bool m_set = false;
};

// A design-service answer: many small objects, as a large file's nodes.
QByteArray restAnswer(qsizetype atLeast, qsizetype &nodes)
{
    const QByteArray node = R"({"id":"12:3456","name":"Rectangle 12","type":"RECTANGLE",)"
                            R"("absoluteBoundingBox":{"x":1.5,"y":2,"width":30,"height":40},"children":[]},)";
    QByteArray json = R"({"document":{"id":"0:0","children":[)";
    json.reserve(atLeast + node.size() + 16);
    for (nodes = 0; json.size() < atLeast; ++nodes)
        json += node;
    json.chop(1);
    return json + "]}}";
}

} // namespace

// Under a tight memory limit, large texts of the usual shapes still read,
// while a flood of nested brackets, which would take many times its size in
// the parser, fails as a text that cannot be read instead of aborting.
TEST(JSONRead, LargeTextsReadAndBracketFloodsFailWithinTheMemoryThereIs)
{
    const qsizetype imageBytes = 70 * 1024 * 1024;
    const QByteArray pageBlock = "{\"images/a.png\":\"" + QByteArray(imageBytes, 'A') + "\"}";
    qsizetype nodes = 0;
    const QByteArray answer = restAnswer(50 * 1024 * 1024, nodes);
    const QByteArray deep = QByteArray(1000, '[') + QByteArray(1000, ']') + ',';
    QByteArray flood = "[";
    flood.reserve(20 * 1024 * 1024 + 2);
    while (flood.size() < 20 * 1024 * 1024)
        flood += deep;
    flood.back() = ']';

    const AddressSpaceLimit limit(qint64(1024) * 1024 * 1024);
    ASSERT_TRUE(limit.set());

    const QJsonDocument page = parseDocument(pageBlock);
    EXPECT_EQ(page.object().value("images/a.png").toString().size(), imageBytes);

    const QJsonObject document = parseObject(answer).value("document").toObject();
    const QJsonArray children = document.value("children").toArray();
    EXPECT_EQ(children.size(), nodes);
    EXPECT_EQ(children.last().toObject().value("absoluteBoundingBox").toObject().value("height").toInt(), 40);

    EXPECT_THROW(parseDocument(flood), JSONDecodeError);
    EXPECT_THROW(parseObject("{\"screens\": " + flood + "}"), JSONDecodeError);
}
