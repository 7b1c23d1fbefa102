// ctest-timeout: 90
// Each case binds the content server's fixed port in a network namespace of
// its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <alcommon/alproxy.h>
#include <ktplatform/robotroot.h>

#include "ktest.h"
#include "ktlarkin.h"
#include "ktsocket.h"
#include "../peers/contentpeer.h"
#include "../peers/ownnet.h"

namespace {

using kt::test::ContentPeer;

const std::string kConf = "/home/nao/ruko/conf/ruko.conf";
const std::string kTopics = "/home/nao/ruko/dialog/topics/";
const char* const kLoading = "******** トピックファイルの取得 *********";

std::string configListing(const std::vector<std::string>& topics) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
      "  <property>\n    <variable name=\"ktcom_ktinit\" type=\"name\"/>\n  </property>\n"
      "  <uploadTopics>\n";
  for (const std::string& t : topics) xml += "    <topic>" + t + "</topic>\n";
  return xml + "  </uploadTopics>\n</config>\n";
}

std::string saved(const std::string& robotPath) { return "ファイル[ " + robotPath + " ]を保存しました。"; }
std::string notFetched(const std::string& name) {
  return "トピックファイル [ " + name + " ] を取得できませんでした： 中止";
}

class KTLarkinTest : public kt::test::RobotTest {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
    kt::makeFolders(root.at("/home/nao"));
    module = AL::ALModule::createModule<KTLarkin>(broker, "KTLarkin");
  }

  std::string getTopicFiles(const std::string& user = ContentPeer::kUser,
                            const std::string& session = ContentPeer::kSession) {
    AL::ALProxy larkin(broker, "KTLarkin", 0, 0);
    return larkin.call<std::string>("getTopicFiles", user, session);
  }

  // Serves a configuration listing topics, and each topic as "<name> text".
  void serve(const std::vector<std::string>& listed, const std::vector<std::string>& served) {
    peer.put("ruko.conf", configListing(listed));
    for (const std::string& t : served) peer.put(t, t + " text\n");
  }

  // The old state of a robot: a configuration and a topic folder with files
  // that a transfer deletes (.top, .top~) and files that it keeps.
  void oldFiles() {
    root.write(kConf, "old conf");
    for (const char* name : {"old.top", "old.top~", "a.b.top", "a.TOP", ".top", "readme"})
      root.write(kTopics + name, "old");
  }

  std::vector<std::string> topicFolder() {
    std::vector<std::string> names;
    DIR* d = opendir(root.at(kTopics).c_str());
    if (!d) return names;
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> messages(qi::LogLevel level) {
    std::vector<std::string> out;
    for (const kt::test::LogLine& l : log.lines())
      if (l.level == level && l.category == "ktlarkin") out.push_back(l.message);
    return out;
  }

  // Info lines of the transfer itself, without the folder listing.
  std::vector<std::string> progress() {
    std::vector<std::string> out;
    for (const std::string& m : messages(qi::LogLevel_Info))
      if (m.find("]がありました。") == std::string::npos && m.find("]削除しました。") == std::string::npos)
        out.push_back(m);
    return out;
  }

  std::set<std::string> infoContaining(const std::string& part) {
    std::set<std::string> out;
    for (const std::string& m : messages(qi::LogLevel_Info))
      if (m.find(part) != std::string::npos) out.insert(m);
    return out;
  }

  ContentPeer peer;
  boost::shared_ptr<KTLarkin> module;
};

TEST_F(KTLarkinTest, RegistersItsOneMethod) {
  EXPECT_EQ("KTLarkinはロボットとクラウドの間でファイルを送受するプロジェクトである。",
            module->getModuleDescription());
  ASSERT_EQ(1u, module->getMethods().size());
  const AL::ALMethodInfo& m = module->getMethods()[0];
  EXPECT_EQ("getTopicFiles", m.name);
  EXPECT_EQ("Topicファイルをクラウドから取得する", m.description);
  ASSERT_EQ(2u, m.params.size());
  EXPECT_EQ("user", m.params[0].name);
  EXPECT_EQ(0u, m.params[0].description.find("ユーザー名 "));
  EXPECT_NE(std::string::npos, m.params[0].description.find("@"));
  EXPECT_EQ("のような形で", m.params[0].description.substr(m.params[0].description.size() - 18));
  EXPECT_EQ("ftpsession", m.params[1].name);
  EXPECT_EQ("ftpsessionの値をセットする", m.params[1].description);
}

TEST_F(KTLarkinTest, FetchesTheConfigurationAndEveryTopicAndReplacesTheOldTopics) {
  oldFiles();
  serve({"a.top", " b.top "}, {"a.top", "b.top"});
  ASSERT_TRUE(peer.start());

  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_EQ(configListing({"a.top", " b.top "}), root.read(kConf));
  EXPECT_EQ("a.top text\n", root.read(kTopics + "a.top"));
  EXPECT_EQ("b.top text\n", root.read(kTopics + "b.top"));
  EXPECT_EQ((std::vector<std::string>{".top", "a.TOP", "a.b.top", "a.top", "b.top", "readme"}),
            topicFolder());

  // One connection per file, in order.
  std::string login = std::string("login:") + ContentPeer::kUser + ":" + ContentPeer::kSession + "\\r\\n";
  EXPECT_EQ((std::vector<std::string>{"1 " + login, "1 getrukoconf\\r\\n", "2 " + login,
                                      "2 getTopic:a.top\\r\\n", "3 " + login,
                                      "3 getTopic:b.top\\r\\n"}),
            peer.received());

  EXPECT_EQ((std::vector<std::string>{saved(kConf), kLoading,
                                      "トピックファイル path = " + kTopics + "a.top",
                                      saved(kTopics + "a.top"),
                                      "トピックファイル path = " + kTopics + "b.top",
                                      saved(kTopics + "b.top")}),
            progress());
  std::set<std::string> listed;
  for (const char* name : {".", "..", "old.top", "old.top~", "a.b.top", "a.TOP", ".top", "readme"})
    listed.insert(std::string("ファイル[ ") + name + " ]がありました。");
  EXPECT_EQ(listed, infoContaining("]がありました。"));
  EXPECT_EQ((std::set<std::string>{"ファイル[ " + kTopics + "old.top ]削除しました。",
                                   "ファイル[ " + kTopics + "old.top~ ]削除しました。"}),
            infoContaining("]削除しました。"));
  EXPECT_TRUE(messages(qi::LogLevel_Warning).empty());
}

TEST_F(KTLarkinTest, CreatesTheMissingFoldersOneLevelAtATime) {
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("SUCCESS", getTopicFiles());
  std::vector<std::string> expected = {"フォルダ[ /home/nao/ruko ]を作成しました。",
                                       "フォルダ[ /home/nao/ruko/conf ]を作成しました。",
                                       saved(kConf),
                                       "フォルダ[ /home/nao/ruko/dialog ]を作成しました。",
                                       "フォルダ[ /home/nao/ruko/dialog/topics ]を作成しました。",
                                       kLoading};
  std::vector<std::string> got = progress();
  got.resize(std::min(got.size(), expected.size()));
  EXPECT_EQ(expected, got);
  EXPECT_EQ("a.top text\n", root.read(kTopics + "a.top"));

  log.clear();
  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_TRUE(infoContaining("フォルダ[").empty());
}

TEST_F(KTLarkinTest, SessionMustBeThirtyTwoBytesAfterTrimming) {
  oldFiles();
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  const std::string session = ContentPeer::kSession;
  for (const std::string& bad : {session.substr(0, 31), session + "x", std::string(), std::string("   ")}) {
    log.clear();
    EXPECT_EQ("FAIL:nosession", getTopicFiles(ContentPeer::kUser, bad)) << bad.size();
    EXPECT_EQ(std::vector<std::string>{"FTPセッション変数がセットされていません。"},
              messages(qi::LogLevel_Warning));
  }
  EXPECT_TRUE(peer.received().empty()) << "a refused session must not connect";
  EXPECT_EQ("old conf", root.read(kConf));
  EXPECT_TRUE(root.exists(kTopics + "old.top"));

  EXPECT_EQ("SUCCESS", getTopicFiles(ContentPeer::kUser, " \t" + session + "\r\n"));
  EXPECT_EQ(std::string("1 login:") + ContentPeer::kUser + ":" + session + "\\r\\n", peer.received().at(0));
}

TEST_F(KTLarkinTest, RefusedLoginLeavesEveryFileAsItWas) {
  oldFiles();
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start({"--mode", "refuse"}));
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles());
  EXPECT_EQ((std::vector<std::string>{"loginに失敗： 中止 = 530: login incorrect\r\n",
                                      "ruko.confファイル [ getrukoconf ] を取得できませんでした： 中止"}),
            messages(qi::LogLevel_Warning));
  EXPECT_EQ("old conf", root.read(kConf));
  EXPECT_EQ((std::vector<std::string>{".top", "a.TOP", "a.b.top", "old.top", "old.top~", "readme"}),
            topicFolder());
}

TEST_F(KTLarkinTest, UserNameWithALineBreakIsRefusedBeforeConnecting) {
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles("nao\r\ngetTopic:a.top"));
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles("nao\n"));
  EXPECT_TRUE(peer.received().empty());
  EXPECT_FALSE(root.exists(kConf));
}

TEST_F(KTLarkinTest, UnsavableConfigurationKeepsTheOldTopics) {
  kt::test::removeTree(root.at("/home/nao"));  // no /home/nao: no folder can be made
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("FAIL:saverukoconf", getTopicFiles());
  EXPECT_EQ((std::vector<std::string>{"フォルダ[ /home/nao/ruko ]の作成に失敗しました。",
                                      "フォルダ[ /home/nao/ruko/conf ]の作成に失敗しました。"}),
            messages(qi::LogLevel_Info));
  EXPECT_EQ(std::vector<std::string>{"ruko.confファイル[ " + kConf + " ]の保存に失敗しました。"},
            messages(qi::LogLevel_Warning));
  EXPECT_EQ(1u, peer.commands().size());
}

TEST_F(KTLarkinTest, SecondOfThreeTopicsFailingStopsTheTransferThere) {
  oldFiles();
  serve({"a.top", "b.top", "c.top"}, {"a.top", "c.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("FAIL:gettopicfie", getTopicFiles());
  EXPECT_EQ((std::vector<std::string>{"getrukoconf\\r\\n", "getTopic:a.top\\r\\n", "getTopic:b.top\\r\\n"}),
            peer.commands());
  EXPECT_EQ((std::vector<std::string>{"ファイル取得に失敗： 中止 = ", notFetched("b.top")}),
            messages(qi::LogLevel_Warning));
  EXPECT_EQ(configListing({"a.top", "b.top", "c.top"}), root.read(kConf));
  EXPECT_EQ((std::vector<std::string>{".top", "a.TOP", "a.b.top", "a.top", "readme"}), topicFolder());
}

TEST_F(KTLarkinTest, UnsavableTopicStopsTheTransferThere) {
  serve({"a.top", "b.top", "c.top"}, {"a.top", "b.top", "c.top"});
  kt::makeFolders(root.at(kTopics + "b.top"));  // a folder where the file goes
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("FAIL:savetopicfile", getTopicFiles());
  EXPECT_EQ(std::vector<std::string>{"topicファイル[ " + kTopics + "b.top ]の保存に失敗しました。"},
            messages(qi::LogLevel_Warning));
  EXPECT_EQ("a.top text\n", root.read(kTopics + "a.top"));
  EXPECT_EQ(3u, peer.commands().size());
}

TEST_F(KTLarkinTest, EmptyTopicListEmptiesTheTopicFolder) {
  oldFiles();
  peer.put("ruko.conf", configListing({}));
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_EQ((std::vector<std::string>{".top", "a.TOP", "a.b.top", "readme"}), topicFolder());
  EXPECT_EQ(1u, peer.commands().size());
  EXPECT_EQ(kLoading, progress().back());
}

TEST_F(KTLarkinTest, NameListedTwiceIsFetchedTwice) {
  serve({"a.top", "a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_EQ((std::vector<std::string>{"getrukoconf\\r\\n", "getTopic:a.top\\r\\n", "getTopic:a.top\\r\\n"}),
            peer.commands());
  EXPECT_EQ("a.top text\n", root.read(kTopics + "a.top"));
  std::vector<std::string> lines = progress();
  EXPECT_EQ(2, std::count(lines.begin(), lines.end(), saved(kTopics + "a.top")));
}

TEST_F(KTLarkinTest, NamesThatAreNotPlainFileNamesAreRefused) {
  serve({}, {"good.top"});
  ASSERT_TRUE(peer.start());
  root.write("/home/nao/ruko/dialog/keep.top", "outside the topic folder");
  for (const std::string& bad :
       {std::string(""), std::string("."), std::string(".."), std::string("../keep.top"),
        std::string("sub/x.top"), std::string("/tmp/abs.top"), std::string(600, 'n')}) {
    log.clear();
    peer.put("ruko.conf", configListing({"good.top", bad, "good.top"}));
    size_t before = peer.commands().size();
    EXPECT_EQ("FAIL:gettopicfie", getTopicFiles()) << bad;
    std::vector<std::string> asked = peer.commands();
    asked.erase(asked.begin(), asked.begin() + before);
    EXPECT_EQ((std::vector<std::string>{"getrukoconf\\r\\n", "getTopic:good.top\\r\\n"}), asked) << bad;
    std::string shown = bad.size() > 511 ? bad.substr(0, 511) : bad;
    EXPECT_EQ(std::vector<std::string>{notFetched(shown)}, messages(qi::LogLevel_Warning));
  }
  EXPECT_EQ("outside the topic folder", root.read("/home/nao/ruko/dialog/keep.top"));
  EXPECT_EQ(std::vector<std::string>{"good.top"}, topicFolder());
}

TEST_F(KTLarkinTest, FilesUpToTheirLimitsAreAcceptedAndOneByteMoreIsNot) {
  std::string conf = configListing({"big.top"});
  std::string pad = "<!--" + std::string(99999 - conf.size() - 7, '-') + "-->";
  peer.put("ruko.conf", conf + pad);
  peer.put("big.top", std::string(999999, 't'));
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_EQ(99999u, root.read(kConf).size());
  EXPECT_EQ(999999u, root.read(kTopics + "big.top").size());

  peer.put("big.top", std::string(1000000, 't'));
  testing::internal::CaptureStdout();
  EXPECT_EQ("FAIL:gettopicfie", getTopicFiles());
  EXPECT_FALSE(root.exists(kTopics + "big.top"));

  peer.put("ruko.conf", conf + pad + " ");
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles());
  EXPECT_EQ(99999u, root.read(kConf).size());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(2, std::count(out.begin(), out.end(), '\n')) << out;
}

struct ThreadCall {
  KTLarkin* module;
  std::string result;
};

void* callOnThread(void* arg) {
  ThreadCall* call = static_cast<ThreadCall*>(arg);
  call->result = call->module->getTopicFiles(ContentPeer::kUser, ContentPeer::kSession);
  return nullptr;
}

TEST_F(KTLarkinTest, RunsOnAThreadWithASmallStack) {
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  ThreadCall call{module.get(), ""};
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, &attr, callOnThread, &call));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ("SUCCESS", call.result);
}

TEST_F(KTLarkinTest, SilentServerIsGivenUpAfterTheTimeOut) {
  oldFiles();
  ASSERT_TRUE(peer.start({"--mode", "silent"}));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles());
  EXPECT_LT(std::chrono::steady_clock::now() - begin,
            std::chrono::seconds(KTSocket::kReadTimeoutSeconds + 5));
  std::vector<std::string> warnings = messages(qi::LogLevel_Warning);
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ("ソケットの読み込みがタイムアウトしました： 中止", warnings.front());
  EXPECT_EQ("ruko.confファイル [ getrukoconf ] を取得できませんでした： 中止", warnings.back());
  EXPECT_EQ("old conf", root.read(kConf));
}

// The library the platform loads creates the module under its name.
TEST_F(KTLarkinTest, LibraryEntryPointCreatesTheModule) {
  broker->unregisterModule("KTLarkin");
  void* lib = dlopen(KT_LIB_DIR "/libktlarkin.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, lib) << dlerror();
  typedef int (*Create)(boost::shared_ptr<AL::ALBroker>);
  typedef int (*Close)();
  Create create = reinterpret_cast<Create>(dlsym(lib, "_createModule"));
  Close closeModule = reinterpret_cast<Close>(dlsym(lib, "_closeModule"));
  ASSERT_TRUE(create && closeModule);
  EXPECT_EQ(0, closeModule());
  ASSERT_FALSE(broker->isModulePresent("KTLarkin"));
  EXPECT_EQ(0, create(broker));
  EXPECT_TRUE(broker->isModulePresent("KTLarkin"));
  std::vector<boost::shared_ptr<AL::ALBroker> > brokers = AL::ALBrokerManager::getInstance()->getBrokerList();
  EXPECT_NE(brokers.end(), std::find(brokers.begin(), brokers.end(), broker));
  AL::ALProxy larkin(broker, "KTLarkin", 0, 0);
  EXPECT_EQ("FAIL:nosession", larkin.call<std::string>("getTopicFiles", std::string("u"), std::string("")));
  EXPECT_EQ(0, closeModule());
}

}  // namespace
