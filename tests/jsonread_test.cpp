#include "core/jsonread.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
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

// A plan of ordinary shape whose texts are full of braces: API paths with
// parameters, JSON bodies and message templates.
QByteArray bracedPlan(int screens)
{
    QByteArray json = R"({"meta":{"feature":"Gifts","title":"선물"},"screens":[)";
    for (int i = 0; i < screens; ++i) {
        const QByteArray n = QByteArray::number(i);
        json += R"({"id":"s)" + n + R"(","name":"Screen)" + n + R"(","title":"선물 목록 화면 )" + n
            + R"(","figmaNodes":["12:)" + n + R"("],"description":"{giftId} 로 상세를 봐요. 응답 예: {\"id\": 1, )"
              R"(\"items\": [{\"n\": {count}}, {\"n\": {total}}], \"page\": {\"next\": {cursor}}}",)"
              R"("apis":[{"method":"GET","path":"/v1/gifts/{giftId}/items/{itemId}/{page}","note":"{userId} 기준"},)"
              R"({"method":"POST","path":"/v1/users/{userId}/orders/{orderId}","body":"{\"giftId\": \"{giftId}\"}"}],)"
              R"("strings":[{"key":"gift_title_)" + n + R"(","ko":"선물 {count}개 · {name} 님","en":"{count} gifts for {name}"}]},)";
    }
    json.chop(1);
    return json + "]}";
}

// Nested empty arrays, each costing the parser far more than its bytes.
QByteArray bracketFlood(qsizetype size)
{
    const QByteArray deep = QByteArray(1000, '[') + QByteArray(1000, ']') + ',';
    QByteArray flood = "[";
    flood.reserve(size + 2);
    while (flood.size() < size)
        flood += deep;
    flood.back() = ']';
    return flood;
}

const char childVariable[] = "QUARRYSTONE_TEST_PARSE";

// In the child: reads the file named in the environment under the address
// space given there (none for 0) and prints what became of it, with the
// growth of the peak address space the parse took.
void parseAsChild()
{
    const QStringList order = qEnvironmentVariable(childVariable).split(u'|');
    QFile file(order.value(0));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray json = file.readAll();
    const auto status = [](const QByteArray &key) {
        QFile file(QStringLiteral("/proc/self/status"));
        file.open(QIODevice::ReadOnly);
        for (const QByteArray &line : file.readAll().split('\n'))
            if (line.startsWith(key))
                return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
        return qint64(0);
    };
    const qint64 before = status("VmSize:");
    const qint64 room = order.value(1).toLongLong();
    if (room > 0) {
        const rlimit limit{rlim_t(before + room), RLIM_INFINITY};
        ASSERT_EQ(::setrlimit(RLIMIT_AS, &limit), 0);
    }
    try {
        const QJsonDocument document = parseDocument(json);
        std::printf("parse: read %lld\n", status("VmPeak:") - before);
    } catch (const JSONDecodeError &error) {
        std::printf("parse: refused %s\n", qPrintable(error.message));
    }
}

// Runs this test again in a child process that parses `path` with `room`
// bytes of address space to grow into; its "parse:" line.
QString parseInChild(const QString &path, qint64 room)
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(childVariable, path + "|" + QString::number(room));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
    child.waitForFinished(-1);
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << "the parse crashed";
    EXPECT_EQ(child.exitCode(), 0);
    for (const QString &line : QString::fromUtf8(child.readAllStandardOutput()).split(u'\n'))
        if (line.startsWith("parse: "))
            return line.mid(7);
    return QString();
}

} // namespace

// A large plan of ordinary shape reads under an address-space limit of
// about one and a half times what the parse really takes, braces in its
// texts notwithstanding; the nested brackets the check exists for are still
// refused under the same limit rather than aborting the process.
TEST(JSONRead, OrdinaryPlanReadsWithinOneAndAHalfTimesItsNeedWhileBracketFloodsFail)
{
    if (qEnvironmentVariableIsSet(childVariable)) {
        parseAsChild();
        return;
    }
    QTemporaryDir dir;
    const QString plan = dir.filePath("plan.json");
    const QString flood = dir.filePath("flood.json");
    {
        QFile file(plan);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bracedPlan(60'000));
        QFile hostile(flood);
        ASSERT_TRUE(hostile.open(QIODevice::WriteOnly));
        hostile.write(bracketFlood(20 * 1024 * 1024));
    }
    const QString unlimited = parseInChild(plan, 0);
    ASSERT_TRUE(unlimited.startsWith("read ")) << unlimited.toStdString();
    const qint64 need = unlimited.mid(5).toLongLong();
    ASSERT_GT(need, 0);
    const qint64 room = need * 3 / 2;

    EXPECT_TRUE(parseInChild(plan, room).startsWith("read ")) << "need " << need;
    const QString refused = parseInChild(flood, room);
    EXPECT_TRUE(refused.startsWith("refused JSON ")) << refused.toStdString();
}

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
