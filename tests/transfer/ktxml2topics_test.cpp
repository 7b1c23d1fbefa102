#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ktest.h"
#include "ktxml2.h"

namespace {

class UploadTopicsTest : public ::testing::Test {
protected:
  // Reads the topic list of a configuration file holding xml.
  int read(const std::string& xml) {
    root.write("/conf.xml", xml);
    std::memset(table, '#', sizeof(table));
    KTXml2 reader(root.at("/conf.xml").c_str());
    return reader.getUploadTopics(table);
  }
  std::string row(int i) const { return table[i]; }

  kt::test::TempRoot root;
  kt::test::LogCapture log;
  char table[257][512];
};

TEST_F(UploadTopicsTest, ReadsTheTopicsOfTheFirstUploadTopicsTrimmedOfBlanks) {
  EXPECT_EQ(5, read("<config><property><variable name=\"a_b\" type=\"name\"/></property>"
                    "<uploadTopics><topic> a.top </topic><note>x.top</note><topic>b&amp;c.top</topic>"
                    "<topic>\tc.top</topic><topic></topic><topic>   </topic></uploadTopics>"
                    "<uploadTopics><topic>second.top</topic></uploadTopics></config>"));
  EXPECT_EQ("a.top", row(0));
  EXPECT_EQ("b&c.top", row(1));
  EXPECT_EQ("\tc.top", row(2));  // only blanks are trimmed
  EXPECT_EQ("", row(3));
  EXPECT_EQ("", row(4));
  EXPECT_EQ('#', table[5][0]);
}

TEST_F(UploadTopicsTest, NothingToReadGivesNoTopic) {
  for (const char* xml : {"<config><uploadTopics/></config>", "<config></config>",
                          "<other><uploadTopics><topic>a.top</topic></uploadTopics></other>",
                          "not xml at all"}) {
    EXPECT_EQ(0, read(xml)) << xml;
    EXPECT_EQ('#', table[0][0]) << xml;
  }
}

// A full table is no overflow; a longer list is cut there, with a warning.
TEST_F(UploadTopicsTest, RowsAndNamesStayWithinTheirLimits) {
  std::string xml = "<config><uploadTopics><topic>" + std::string(600, 'n') + "</topic>";
  for (int i = 1; i < 256; ++i) xml += "<topic>t" + std::to_string(i) + ".top</topic>";
  EXPECT_EQ(256, read(xml + "</uploadTopics></config>"));
  EXPECT_TRUE(log.lines().empty());
  for (int i = 256; i < 300; ++i) xml += "<topic>t" + std::to_string(i) + ".top</topic>";
  EXPECT_EQ(256, read(xml + "</uploadTopics></config>"));
  EXPECT_EQ(std::string(511, 'n'), row(0));
  EXPECT_EQ("t255.top", row(255));
  EXPECT_EQ('#', table[256][0]);
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktlarkin",
                      "設定ファイルのトピックが256個を超えています。257個目以降は取得しません。"));
}

}  // namespace
