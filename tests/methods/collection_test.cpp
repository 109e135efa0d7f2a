// The Central Council's collection as we read it: small files written here
// in its schema, whole and damaged.

#include "methods/MethodCollection.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>

namespace {

// A collection of methodSets; each line of Body is one line of the file.
QByteArray Collection(const QByteArray& body) {
    return QByteArray(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<collection xmlns=\"http://www.cccbr.org.uk/methods/schemas/2007/05/methods\">\n"
               "  <collectionName>Test</collectionName>\n") +
           body + "</collection>\n";
}

const QByteArray kTwoSets =
    "  <methodSet>\n"  // line 4
    "    <notes>Surprise Minor, b lead heads</notes>\n"
    "    <properties>\n"
    "      <stage>6</stage>\n"
    "      <classification>Surprise</classification>\n"
    "      <lengthOfLead>24</lengthOfLead>\n"
    "      <numberOfHunts>1</numberOfHunts>\n"
    "      <leadHead>156342</leadHead>\n"
    "      <leadHeadCode>b</leadHeadCode>\n"
    "      <symmetry>palindromic double rotational</symmetry>\n"
    "    </properties>\n"
    "    <method id=\"m1\">\n"  // line 15
    "      <name>Cambridge</name>\n"
    "      <title>Cambridge Surprise Minor</title>\n"
    "      <notation>-36-14-12-36-14-56,12</notation>\n"
    "    </method>\n"
    "    <method id=\"m2\">\n"  // line 20
    "      <name>Primrose</name>\n"
    "      <title>Primrose Surprise Minor</title>\n"
    "      <notation>-36-14-12-36-14-56,16</notation>\n"
    "    </method>\n"
    "  </methodSet>\n"
    "  <methodSet>\n"
    "    <properties><stage>8</stage><classification>Surprise</classification></properties>\n"
    "    <method id=\"m3\"><name>Cambridge</name><title>Cambridge Surprise Major</title>\n"
    "      <notation>-38-14-1258-36-14-58-16-78,12</notation></method>\n"
    "    <method id=\"m4\"><name>Grandsire</name><title>Grandsire Triples</title><stage>7</stage>\n"
    "      <notation>3,1.7.1.7.1.7.1</notation></method>\n"
    "  </methodSet>\n"
    "  <methodSet>\n"
    "    <properties><stage>18</stage><classification>Bob</classification></properties>\n"
    "    <method><title>Plain Bob "
    "Eighteen</title><notation>-1H-1H-1H-1H-1H-1H-1H-1H-1H,12</notation></method>\n"
    "  </methodSet>\n";

bool LoadBytes(TMethodCollection& collection, const QByteArray& bytes, QString* error) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return collection.Load(buffer, error);
}

TEST(MethodCollection, ReadsSetsWithTheirSharedProperties) {
    TempDir dir;
    QFile file(dir.file(QStringLiteral("methods.xml")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(Collection(kTwoSets));
    file.close();

    TMethodCollection collection;
    QString error;
    ASSERT_TRUE(collection.LoadFromFile(file.fileName(), &error)) << error.toStdString();
    ASSERT_EQ(collection.Count(), 4);
    EXPECT_EQ(collection.Skipped(), 1);  // eighteen bells, more than ours

    const TCollectionMethod* cambridge = collection.Find(QStringLiteral("cambridge s minor"));
    ASSERT_NE(cambridge, nullptr);
    EXPECT_EQ(cambridge->Title, QStringLiteral("Cambridge Surprise Minor"));
    EXPECT_EQ(cambridge->Stage, 6);
    EXPECT_EQ(cambridge->Classification, QStringLiteral("Surprise"));
    EXPECT_EQ(cambridge->LeadHead, QStringLiteral("156342"));
    EXPECT_EQ(cambridge->Line, 15);
    // The notation rings to the lead head the file publishes.
    EXPECT_EQ(cambridge->ToMethod().LeadHead().ToString(), cambridge->LeadHead);

    // A method's own stage overrides its set's; Grandsire gets its calls.
    const TCollectionMethod* grandsire = collection.Find(QStringLiteral("Grandsire Triples"));
    ASSERT_NE(grandsire, nullptr);
    EXPECT_EQ(grandsire->Stage, 7);
    EXPECT_EQ(grandsire->ToMethod().Family(), TCallFamily::Grandsire);
    EXPECT_EQ(collection.Find(QStringLiteral("Cambridge Surprise Major"))->ToMethod().LeadHead().ToString(),
              QStringLiteral("15738264"));

    EXPECT_EQ(collection.Search(QStringLiteral("cambridge")),
              QStringList({"Cambridge Surprise Minor", "Cambridge Surprise Major"}));
    EXPECT_EQ(collection.Search(QStringLiteral("s minor")),
              QStringList({"Cambridge Surprise Minor", "Primrose Surprise Minor"}));
    EXPECT_EQ(collection.Find(QStringLiteral("Cambridge")), nullptr);
}

TEST(MethodCollection, ADamagedFileIsRefusedByLineAndChangesNothing) {
    TMethodCollection collection;
    QString error;
    ASSERT_TRUE(LoadBytes(collection, Collection(kTwoSets), &error)) << error.toStdString();

    QByteArray badNotation = kTwoSets;
    badNotation.replace("-36-14-12-36-14-56,16", "-36-14-12-37-14-56,16");
    QByteArray noStage = kTwoSets;
    noStage.replace("<stage>7</stage>", "");
    noStage.replace("<properties><stage>8</stage>", "<properties>");
    QByteArray badStage = kTwoSets;
    badStage.replace("<stage>6</stage>", "<stage>six</stage>");
    QByteArray badXml = kTwoSets;
    badXml.replace("<title>Primrose Surprise Minor</title>", "<title>Primrose Surprise Minor</titel>");
    QByteArray noNotation = kTwoSets;
    noNotation.replace("<notation>-36-14-12-36-14-56,16</notation>", "");

    struct Case {
        const char* what;
        QByteArray file;
        const char* error;
    } const cases[] = {
        {"bad notation", Collection(badNotation),
         "line 23: \"Primrose Surprise Minor\": notation \"-36-14-12-37-14-56,16\": place 7 is beyond stage "
         "6 at "
         "position 12"},
        {"no stage", Collection(noStage), "line 28: \"Cambridge Surprise Major\" has no stage"},
        {"bad stage", Collection(badStage), "line 7: stage \"six\" is not a number of bells"},
        {"no notation", Collection(noNotation), "line 20: \"Primrose Surprise Minor\" has no notation"},
        {"wrong root", QByteArray("<?xml version=\"1.0\"?>\n<html><body/></html>\n"), nullptr},
        {"bad XML", Collection(badXml), nullptr},
        {"cut short", Collection(kTwoSets).left(700), nullptr},
        {"empty", QByteArray(), nullptr},
    };
    for (const Case& c : cases) {
        QString message;
        EXPECT_FALSE(LoadBytes(collection, c.file, &message)) << c.what;
        if (c.error) {
            EXPECT_EQ(message, QString::fromLatin1(c.error)) << c.what;
        } else {
            EXPECT_TRUE(message.startsWith(QStringLiteral("line ")))
                << c.what << ": " << message.toStdString();
        }
        // What was loaded before stays.
        EXPECT_EQ(collection.Count(), 4) << c.what;
        EXPECT_NE(collection.Find(QStringLiteral("Cambridge Surprise Minor")), nullptr) << c.what;
    }
    // Cut short anywhere before its end, the file is refused.
    const QByteArray whole = Collection(kTwoSets);
    const qsizetype end = whole.lastIndexOf("</collection>") + qsizetype(sizeof "</collection>") - 1;
    for (qsizetype cut = 0; cut < end; ++cut) {
        QString message;
        ASSERT_FALSE(LoadBytes(collection, whole.left(cut), &message)) << cut;
        ASSERT_TRUE(message.startsWith(QStringLiteral("line "))) << cut << ": " << message.toStdString();
    }
    EXPECT_EQ(collection.Count(), 4);

    EXPECT_FALSE(LoadBytes(collection, Collection(badXml), &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("line 22:"))) << error.toStdString();

    EXPECT_FALSE(collection.LoadFromFile(QStringLiteral("/nonexistent/methods.xml"), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("/nonexistent/methods.xml"))) << error.toStdString();
    EXPECT_EQ(collection.Count(), 4);
}

}  // namespace
