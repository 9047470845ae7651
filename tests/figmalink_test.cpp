#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "figma/figmalink.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

FigmaLink linkOf(const char *text)
{
    const auto link = FigmaLink::parse(QString::fromUtf8(text));
    EXPECT_TRUE(link.has_value()) << text;
    return link.value_or(FigmaLink{});
}

bool refused(const char *text)
{
    return !FigmaLink::parse(QString::fromUtf8(text)).has_value();
}

QJsonValue json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

TEST(FigmaLink, ReadsKeyAndNodeFromEveryLinkKind)
{
    const FigmaLink design = linkOf("https://www.figma.com/design/KEY/Title?node-id=12-34&t=abc");
    EXPECT_EQ(design.fileKey, "KEY");
    EXPECT_EQ(design.nodeId, "12:34");
    EXPECT_EQ(design.url, "https://www.figma.com/design/KEY/Title?node-id=12-34&t=abc");

    for (const char *kind : {"file", "proto"}) {
        const FigmaLink other = linkOf(qPrintable(QStringLiteral("https://www.figma.com/%1/KEY/Title?node-id=12-34").arg(kind)));
        EXPECT_EQ(other.fileKey, "KEY") << kind;
        EXPECT_EQ(other.nodeId, "12:34") << kind;
    }
}

TEST(FigmaLink, TrimsAndAddsTheScheme)
{
    const FigmaLink link = linkOf("  \t figma.com/design/KEY/T?node-id=1-2\n");
    EXPECT_EQ(link.url, "https://figma.com/design/KEY/T?node-id=1-2");
    EXPECT_EQ(linkOf("www.figma.com/file/KEY?node-id=1-2").url, "https://www.figma.com/file/KEY?node-id=1-2");
}

TEST(FigmaLink, AcceptsOnlyTheServiceAndItsSubdomains)
{
    EXPECT_EQ(linkOf("https://WWW.FIGMA.COM/design/KEY/T?node-id=1-2").fileKey, "KEY");
    EXPECT_EQ(linkOf("https://a.b.figma.com/design/KEY/T?node-id=1-2").fileKey, "KEY");
    EXPECT_TRUE(refused("https://notfigma.com/design/KEY/T?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com.evil.io/design/KEY/T?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com@evil.io/design/KEY/T?node-id=1-2"));
    EXPECT_TRUE(refused("file:///design/KEY/T?node-id=1-2"));
    EXPECT_TRUE(refused(""));
}

TEST(FigmaLink, BranchKeyReplacesTheFileKey)
{
    const FigmaLink link = linkOf("https://figma.com/design/KEY/branch/BRANCHKEY/Title?node-id=5-6");
    EXPECT_EQ(link.fileKey, "BRANCHKEY");
    EXPECT_EQ(link.nodeId, "5:6");
    EXPECT_EQ(linkOf("https://figma.com/design/KEY/branch?node-id=5-6").fileKey, "KEY");
}

TEST(FigmaLink, NeedsAKeyAfterTheKindPart)
{
    EXPECT_TRUE(refused("https://figma.com/design?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/design/?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/Design/KEY?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/files/KEY?node-id=1-2"));
    EXPECT_EQ(linkOf("https://figma.com/team/x/design/KEY?node-id=1-2").fileKey, "KEY");
    // A key is letters and digits: nothing that could reach another path
    // of the API with the token, or break the line it is shown in.
    EXPECT_EQ(linkOf("https://figma.com/design/aB3xYz09QrSt/T?node-id=1-2").fileKey, "aB3xYz09QrSt");
    EXPECT_TRUE(refused("https://figma.com/design/..%2F..%2Fv1%2Fme/T?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/design/KEY%0D%0AX-Evil:%201/T?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/design/KEY%3Fx=1/T?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/design/KEY/branch/..%2Fme/T?node-id=1-2"));
    EXPECT_TRUE(refused("https://figma.com/design/K%C3%89Y/T?node-id=1-2"));
}

TEST(FigmaLink, NodeIdComesFromTheFirstNonEmptyQueryItem)
{
    EXPECT_TRUE(refused("https://figma.com/design/KEY/T"));
    EXPECT_TRUE(refused("https://figma.com/design/KEY/T?t=1"));
    EXPECT_TRUE(refused("https://figma.com/design/KEY/T?node-id="));
    EXPECT_TRUE(refused("https://figma.com/design/KEY/T?node-id"));
    EXPECT_TRUE(refused("https://figma.com/design/KEY/T?node-id=&node-id=1-2"));
    EXPECT_EQ(linkOf("https://figma.com/design/KEY/T?node-id=12%3A34").nodeId, "12:34");
    EXPECT_EQ(linkOf("https://figma.com/design/KEY/T?node-id=1-2&node-id=3-4").nodeId, "1:2");
    EXPECT_EQ(linkOf("https://figma.com/design/KEY/T?node-idx=9-9&node-id=1-2").nodeId, "1:2");
}

TEST(FigmaLink, StrictReading)
{
    const FigmaLink link = FigmaLink::read(json(R"({"fileKey":"K","nodeId":"1:2","url":"https://figma.com/x","extra":1})"));
    EXPECT_EQ(link, (FigmaLink{"K", "1:2", "https://figma.com/x"}));
    EXPECT_EQ(FigmaLink::read(QJsonDocument::fromJson(JSONCoding::pretty(link)).object()), link);

    EXPECT_THROW(FigmaLink::read(json(R"({"fileKey":"K","nodeId":"1:2"})")), JSONDecodeError);
    EXPECT_THROW(FigmaLink::read(json(R"({"fileKey":"K","nodeId":null,"url":"u"})")), JSONDecodeError);
    EXPECT_THROW(FigmaLink::read(json(R"({"fileKey":1,"nodeId":"1:2","url":"u"})")), JSONDecodeError);
    EXPECT_THROW(FigmaLink::read(QJsonValue("K")), JSONDecodeError);
    for (const char *key : {"", "../../v1/me", "..%2F..%2Fv1%2Fme", "K\r\nX: 1", "K?x=1"})
        EXPECT_THROW(FigmaLink::read(QJsonObject{{"fileKey", key}, {"nodeId", "1:2"}, {"url", "u"}}), JSONDecodeError)
            << key;
}
