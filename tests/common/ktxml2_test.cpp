#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ktest.h"
#include "ktxml2.h"

namespace {

const char* const kConf = "/home/nao/ruko/conf/ruko.conf";

class KTXml2Test : public ::testing::Test {
protected:
  KTXml2Test() { std::memset(table, 0, sizeof table); }

  // Writes the file and reads its variable table as a caller does.
  int readConf(const std::string& content) {
    root.write(kConf, content);
    KTXml2 xml(root.at(kConf).c_str());
    return xml.getVariables(table);
  }
  std::vector<std::string> lines(int count) const {
    return std::vector<std::string>(table, table + count);
  }
  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const kt::test::LogLine& l : log.lines())
      if (l.level == qi::LogLevel_Warning) out.push_back(l.message);
    return out;
  }

  kt::test::TempRoot root;
  kt::test::LogCapture log;
  char table[257][512];
};

std::string wrap(const std::string& variables) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n<property>\n" + variables +
         "</property>\n</config>\n";
}

std::string walkVar(const std::string& name, const std::string& x, const std::string& y,
                    const std::string& z) {
  return "<variable name=\"" + name + "\" type=\"walk\"><x_distance>" + x +
         "</x_distance><y_distance>" + y + "</y_distance><z_radian>" + z +
         "</z_radian></variable>\n";
}

TEST_F(KTXml2Test, TrimRemovesSpacesOnlyAndCountsThem) {
  KTXml2 xml(root.at(kConf).c_str());
  char text[] = "   a b  ";
  EXPECT_EQ(5, xml.trim(text));
  EXPECT_STREQ("a b", text);

  char tabbed[] = "\ta ";
  EXPECT_EQ(1, xml.trim(tabbed));
  EXPECT_STREQ("\ta", tabbed);
  char tabFirst[] = "\tx";
  EXPECT_EQ(0, xml.trim(tabFirst));
  EXPECT_STREQ("\tx", tabFirst);

  char blanks[] = "    ";
  EXPECT_EQ(4, xml.trim(blanks));
  EXPECT_STREQ("", blanks);

  char empty[] = "";
  EXPECT_EQ(0, xml.trim(empty));
  EXPECT_EQ(-1, xml.trim(nullptr));
}

TEST_F(KTXml2Test, LinesCarryTheFieldsOfEachType) {
  int n = readConf(wrap(walkVar("a_b", "0.5", "0", "0.2") +
                        "<variable name=\"p_learn\" type=\"facelearn\"><varname>who</varname>"
                        "</variable>\n"
                        "<variable name=\"p_forget\" type=\"faceforget\"><varname>gone</varname>"
                        "</variable>\n"
                        "<variable name=\"p_facerecog\" type=\"facerecog\"><varname>seen</varname>"
                        "</variable>\n"
                        "<variable name=\"p_name\" type=\"name\"><varname>x</varname></variable>\n"
                        "<other name=\"not_me\" type=\"name\"/>\n"
                        "<variable name=\"p_sit\" type=\"sitdown\"/>\n"));
  ASSERT_EQ(6, n);
  EXPECT_EQ((std::vector<std::string>{"a_b,walk,0.5,0,0.2", "p_learn,facelearn,who",
                                      "p_forget,faceforget,gone", "p_facerecog,facerecog,seen",
                                      "p_name,name", "p_sit,sitdown"}),
            lines(n));
  EXPECT_TRUE(warnings().empty());
}

TEST_F(KTXml2Test, SpacesAroundValuesDoNotReachTheLine) {
  int n = readConf(wrap(
      "<variable name=\"  w_x \" type=\" walk  \"><x_distance> 1 </x_distance>"
      "<y_distance>  -2</y_distance><z_radian>3  </z_radian></variable>\n"
      "<variable name=\" f_l\" type=\"facelearn \"><varname>  key  </varname></variable>\n"));
  ASSERT_EQ(2, n);
  // The trimmed type chooses the children too.
  EXPECT_EQ((std::vector<std::string>{"w_x,walk,1,-2,3", "f_l,facelearn,key"}), lines(n));
}

TEST_F(KTXml2Test, NumbersLinesAcrossPropertiesAndReadsOnlyThem) {
  int n = readConf(
      "<?xml version=\"1.0\"?>\n"
      "<other><property><variable name=\"o_x\" type=\"name\"/></property></other>\n"
      "<config>\n"
      "<variable name=\"top_level\" type=\"name\"/>\n"
      "<property note=\"first\"><variable name=\"a_1\" type=\"name\"/>"
      "<variable name=\"a_2\" type=\"crouch\"/></property>\n"
      "<property/>\n"
      "<uploadTopics><topic>a.top</topic></uploadTopics>\n"
      "<property><variable name=\"b_1\" type=\"standup\"/>"
      "<variable name=\"b_2\" type=\"name\"/></property>\n"
      "<uploadTopics><property><variable name=\"u_x\" type=\"name\"/></property></uploadTopics>\n"
      "</config>\n"
      "<config><property><variable name=\"c_x\" type=\"name\"/></property></config>\n");
  ASSERT_EQ(4, n);
  EXPECT_EQ((std::vector<std::string>{"a_1,name", "a_2,crouch", "b_1,standup", "b_2,name"}),
            lines(n));
}

TEST_F(KTXml2Test, EntitiesAreReplaced) {
  int n = readConf(wrap("<variable name=\"a&amp;b_c\" type=\"facelearn\">"
                        "<varname>x&lt;y&#x41;</varname></variable>\n"));
  ASSERT_EQ(1, n);
  EXPECT_STREQ("a&b_c,facelearn,x<yA", table[0]);
}

TEST_F(KTXml2Test, MissingOrMalformedFileGivesNoLines) {
  std::strcpy(table[0], "untouched");
  {
    KTXml2 xml(root.at("/home/nao/ruko/conf/none.conf").c_str());
    EXPECT_EQ(0, xml.getVariables(table));
  }
  EXPECT_EQ(0, readConf("<config><property><variable name=\"a_b\" type=\"name\"/>"
                        "</property>"));  // unclosed config
  EXPECT_EQ(0, readConf("<settings><property><variable name=\"a_b\" type=\"name\"/>"
                        "</property></settings>"));
  EXPECT_EQ(0, readConf(""));
  EXPECT_STREQ("untouched", table[0]);
}

TEST_F(KTXml2Test, IncompleteVariablesAreSkippedWithAWarning) {
  int n = readConf(wrap(
      "<variable type=\"name\"/>\n"
      "<variable name=\"no_type\"/>\n"
      "<variable name=\"   \" type=\"name\"/>\n"
      "<variable name=\"blank_type\" type=\"  \"/>\n"
      "<variable name=\"ok_1\" type=\"name\"/>\n"
      "<variable name=\"f_nochild\" type=\"facelearn\"/>\n"
      "<variable name=\"f_empty\" type=\"faceforget\"><varname></varname></variable>\n"
      "<variable name=\"f_blank\" type=\"facerecog\"><varname>   </varname></variable>\n"
      "<variable name=\"w_noz\" type=\"walk\"><x_distance>1</x_distance>"
      "<y_distance>0</y_distance></variable>\n"
      "<variable name=\"w_elem\" type=\"walk\"><x_distance><b>1</b></x_distance>"
      "<y_distance>0</y_distance><z_radian>0</z_radian></variable>\n" +
      walkVar("ok_2", "1", "2", "3")));
  ASSERT_EQ(2, n);
  EXPECT_EQ((std::vector<std::string>{"ok_1,name", "ok_2,walk,1,2,3"}), lines(n));
  std::vector<std::string> w = warnings();
  ASSERT_EQ(9u, w.size());
  EXPECT_EQ("設定ファイルの変数の記述が不完全なため読み込みません。 name = ", w[0]);
  EXPECT_EQ("設定ファイルの変数の記述が不完全なため読み込みません。 name = no_type", w[1]);
  EXPECT_EQ("設定ファイルの変数の記述が不完全なため読み込みません。 name = w_elem", w[8]);
  for (const kt::test::LogLine& l : log.lines()) {
    if (l.level == qi::LogLevel_Warning) {
      EXPECT_EQ("ktruko", l.category);
    }
  }
}

TEST_F(KTXml2Test, OversizedValuesAndLinesAreSkipped) {
  // The line "<name>,name" fills 511 bytes with a 506-byte name.
  std::string name506(506, 'n');
  std::string name507(507, 'n');
  // Raw values are limited, before trimming.
  std::string raw512 = "  " + std::string(510, 'p');
  std::string raw511 = "     " + std::string(501, 'q') + "     ";
  // 500 + ",walk" + ",1" + ",2" = 509 bytes before the last field.
  std::string name500(500, 'w');
  int n = readConf(wrap("<variable name=\"" + name506 + "\" type=\"name\"/>\n"
                        "<variable name=\"" + name507 + "\" type=\"name\"/>\n"
                        "<variable name=\"" + raw512 + "\" type=\"name\"/>\n"
                        "<variable name=\"" + raw511 + "\" type=\"name\"/>\n" +
                        walkVar(name500, "1", "2", "3") + walkVar(name500, "1", "2", "35") +
                        "<variable name=\"f_big\" type=\"facelearn\"><varname>" +
                        std::string(512, 'v') + "</varname></variable>\n"
                        "<variable name=\"end_x\" type=\"name\"/>\n"));
  ASSERT_EQ(4, n);
  EXPECT_EQ(name506 + ",name", table[0]);
  EXPECT_EQ(511u, std::strlen(table[0]));
  EXPECT_EQ(std::string(501, 'q') + ",name", table[1]);
  EXPECT_EQ(name500 + ",walk,1,2,3", table[2]);
  EXPECT_STREQ("end_x,name", table[3]);
  EXPECT_EQ(4u, warnings().size());
}

TEST_F(KTXml2Test, ReadsAtMost256VariablesAndWarnsOfTheRest) {
  std::string first, second;
  for (int i = 0; i < 200; ++i) first += "<variable name=\"a_" + std::to_string(i) + "\" type=\"name\"/>";
  for (int i = 0; i < 60; ++i) second += "<variable name=\"b_" + std::to_string(i) + "\" type=\"name\"/>";
  std::strcpy(table[256], "after the table");
  int n = readConf("<config><property>" + first + "</property><property>" + second +
                   "</property></config>");
  ASSERT_EQ(256, n);
  EXPECT_STREQ("a_0,name", table[0]);
  EXPECT_STREQ("a_199,name", table[199]);
  EXPECT_STREQ("b_55,name", table[255]);
  EXPECT_STREQ("after the table", table[256]);
  EXPECT_EQ(std::vector<std::string>{
                "設定ファイルの変数が256個を超えています。257個目以降は読み込みません。"},
            warnings());

  log.clear();
  std::string exact;
  for (int i = 0; i < 256; ++i) exact += "<variable name=\"c_" + std::to_string(i) + "\" type=\"name\"/>";
  EXPECT_EQ(256, readConf("<config><property>" + exact + "</property></config>"));
  EXPECT_TRUE(warnings().empty());
}

}  // namespace
