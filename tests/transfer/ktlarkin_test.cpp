// Each case binds the content server's fixed port in a network namespace of
// its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <alcommon/alproxy.h>
#include <ktplatform/robotroot.h>

#include "ktest.h"
#include "ktlarkin.h"
#include "ktsocket.h"
#include "shorttimeouts.h"
#include "unreadable.h"
#include "contentpeer.h"
#include "ownnet.h"

namespace {

using kt::test::ContentPeer;
typedef std::vector<std::string> Lines;

const std::string kConf = "/home/nao/ruko/conf/ruko.conf";
const std::string kTopics = "/home/nao/ruko/dialog/topics/";
const char* const kLoading = "******** トピックファイルの取得 *********";
const char* const kTooBig = "ファイルサイズがバッファサイズを越えました： 中止";
const char* const kNoFile = "ファイル取得に失敗： 中止 = ";
const char* const kNoConf = "ruko.confファイル [ getrukoconf ] を取得できませんでした： 中止";

std::string configListing(const Lines& topics) {
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
  void serve(const Lines& listed, const Lines& served) {
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

  Lines topicFolder() {
    Lines names;
    DIR* d = opendir(root.at(kTopics).c_str());
    if (!d) return names;
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  Lines messages(qi::LogLevel level) {
    Lines out;
    for (const kt::test::LogLine& l : log.lines())
      if (l.level == level && l.category == "ktlarkin") out.push_back(l.message);
    return out;
  }

  // Info lines of the transfer itself, without the folder listing.
  Lines progress() {
    Lines out;
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

// The library the platform loads creates the module under its name.
TEST_F(KTLarkinTest, LibraryEntryPointRegistersTheModuleWithItsOneMethod) {
  broker->unregisterModule("KTLarkin");
  module.reset();
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
  std::vector<boost::shared_ptr<AL::ALBroker> > brokers = AL::ALBrokerManager::getInstance()->getBrokerList();
  EXPECT_NE(brokers.end(), std::find(brokers.begin(), brokers.end(), broker));
  EXPECT_EQ(0, closeModule());

  boost::shared_ptr<AL::ALModuleCore> created = broker->getModuleByName("KTLarkin");
  ASSERT_TRUE(created);
  EXPECT_EQ("KTLarkinはロボットとクラウドの間でファイルを送受するプロジェクトである。",
            created->getModuleDescription());
  ASSERT_EQ(1u, created->getMethods().size());
  const AL::ALMethodInfo& m = created->getMethods()[0];
  EXPECT_EQ("getTopicFiles", m.name);
  EXPECT_EQ("Topicファイルをクラウドから取得する", m.description);
  ASSERT_EQ(2u, m.params.size());
  EXPECT_EQ("user", m.params[0].name);
  EXPECT_EQ(0u, m.params[0].description.find("ユーザー名 "));
  EXPECT_NE(std::string::npos, m.params[0].description.find("@"));
  EXPECT_EQ("のような形で", m.params[0].description.substr(m.params[0].description.size() - 18));
  EXPECT_EQ("ftpsession", m.params[1].name);
  EXPECT_EQ("ftpsessionの値をセットする", m.params[1].description);
  AL::ALProxy larkin(broker, "KTLarkin", 0, 0);
  EXPECT_EQ("FAIL:nosession", larkin.call<std::string>("getTopicFiles", std::string("u"), std::string("")));
}

// The server sends every line and file in small pieces.
TEST_F(KTLarkinTest, FetchesTheConfigurationAndEveryTopicAndReplacesTheOldTopics) {
  oldFiles();
  serve({"a.top", " b.top "}, {"a.top", "b.top"});
  ASSERT_TRUE(peer.start({"--mode", "trickle"}));

  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_EQ(configListing({"a.top", " b.top "}), root.read(kConf));
  EXPECT_EQ("a.top text\n", root.read(kTopics + "a.top"));
  EXPECT_EQ("b.top text\n", root.read(kTopics + "b.top"));
  EXPECT_EQ((Lines{".top", "a.TOP", "a.b.top", "a.top", "b.top", "readme"}), topicFolder());

  // One connection per file, in order.
  std::string login = std::string("login:") + ContentPeer::kUser + ":" + ContentPeer::kSession + "\\r\\n";
  EXPECT_EQ((Lines{"1 " + login, "1 getrukoconf\\r\\n", "2 " + login, "2 getTopic:a.top\\r\\n",
                   "3 " + login, "3 getTopic:b.top\\r\\n"}),
            peer.received());

  EXPECT_EQ((Lines{saved(kConf), kLoading, "トピックファイル path = " + kTopics + "a.top",
                   saved(kTopics + "a.top"), "トピックファイル path = " + kTopics + "b.top",
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

  // An empty list empties the topic folder of topic files; no folder is made again.
  log.clear();
  peer.put("ruko.conf", configListing({}));
  EXPECT_EQ("SUCCESS", getTopicFiles());
  EXPECT_EQ((Lines{".top", "a.TOP", "a.b.top", "readme"}), topicFolder());
  EXPECT_EQ(4u, peer.commands().size());
  EXPECT_EQ((Lines{saved(kConf), kLoading}), progress());
}

// On a thread with a small stack: the working buffers are not on it.
TEST_F(KTLarkinTest, CreatesTheMissingFoldersOneLevelAtATimeAndFetchesANameListedTwice) {
  serve({"a.top", "a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  struct Call {
    KTLarkin* module;
    std::string result;
    static void* run(void* arg) {
      Call* call = static_cast<Call*>(arg);
      call->result = call->module->getTopicFiles(ContentPeer::kUser, ContentPeer::kSession);
      return nullptr;
    }
  } call{module.get(), ""};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, &attr, &Call::run, &call));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ("SUCCESS", call.result);
  EXPECT_EQ((Lines{"フォルダ[ /home/nao/ruko ]を作成しました。",
                   "フォルダ[ /home/nao/ruko/conf ]を作成しました。", saved(kConf),
                   "フォルダ[ /home/nao/ruko/dialog ]を作成しました。",
                   "フォルダ[ /home/nao/ruko/dialog/topics ]を作成しました。", kLoading,
                   "トピックファイル path = " + kTopics + "a.top", saved(kTopics + "a.top"),
                   "トピックファイル path = " + kTopics + "a.top", saved(kTopics + "a.top")}),
            progress());
  EXPECT_EQ((Lines{"getrukoconf\\r\\n", "getTopic:a.top\\r\\n", "getTopic:a.top\\r\\n"}), peer.commands());
  EXPECT_EQ("a.top text\n", root.read(kTopics + "a.top"));
}

// The old topics of a topic folder that cannot be read stay, and that is
// warned about; the transfer goes on.
TEST_F(KTLarkinTest, UnreadableTopicFolderIsWarnedAboutAndTheTransferGoesOn) {
  oldFiles();
  serve({"new.top"}, {"new.top"});
  ASSERT_TRUE(peer.start());
  testing::internal::CaptureStderr();
  {
    kt::test::UnreadableFolder fault(root.at(kTopics), EOVERFLOW);
    EXPECT_EQ("SUCCESS", getTopicFiles());
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Lines{"フォルダ[ " + kTopics + " ]の読み込みに失敗しました： 中止"},
            messages(qi::LogLevel_Warning));
  EXPECT_NE(std::string::npos, err.find(root.at(kTopics) + ": " + std::strerror(EOVERFLOW))) << err;
  EXPECT_EQ((Lines{".top", "a.TOP", "a.b.top", "new.top", "old.top", "old.top~", "readme"}),
            topicFolder());
}

// Whatever has a folder's name is left alone, even a file too large for a
// 32-bit stat without the large-file interfaces. The test itself uses the
// 64-bit calls, whatever the build.
TEST_F(KTLarkinTest, FolderCheckLeavesALargeFileOfThatNameAlone) {
  const off64_t size = static_cast<off64_t>(3) << 30;
  const std::string file = root.at("/home/nao/ruko");
  root.write("/home/nao/ruko", "");
  if (truncate64(file.c_str(), size) != 0)
    GTEST_SKIP() << "needs a sparse file of 3 GiB, which this file system refuses: "
                 << std::strerror(errno);
  module->checkFolders("ruko");
  EXPECT_EQ(Lines{}, log.messages("ktlarkin"));
  struct stat64 st;
  ASSERT_EQ(0, stat64(file.c_str(), &st));
  EXPECT_EQ(size, st.st_size);
}

TEST_F(KTLarkinTest, SessionMustBeThirtyTwoBytesAfterTrimming) {
  oldFiles();
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  const std::string session = ContentPeer::kSession;
  for (const std::string& bad : {session.substr(0, 31), session + "x", std::string(), std::string("   ")}) {
    log.clear();
    EXPECT_EQ("FAIL:nosession", getTopicFiles(ContentPeer::kUser, bad)) << bad.size();
    EXPECT_EQ(Lines{"FTPセッション変数がセットされていません。"}, messages(qi::LogLevel_Warning));
  }
  EXPECT_TRUE(peer.received().empty()) << "a refused session must not connect";
  EXPECT_EQ("old conf", root.read(kConf));
  EXPECT_TRUE(root.exists(kTopics + "old.top"));

  EXPECT_EQ("SUCCESS", getTopicFiles(ContentPeer::kUser, " \t" + session + "\r\n"));
  EXPECT_EQ(std::string("1 login:") + ContentPeer::kUser + ":" + session + "\\r\\n", peer.received().at(0));
}

TEST_F(KTLarkinTest, UnsavableConfigurationKeepsTheOldTopics) {
  kt::test::removeTree(root.at("/home/nao"));  // no /home/nao: no folder can be made
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("FAIL:saverukoconf", getTopicFiles());
  EXPECT_EQ((Lines{"フォルダ[ /home/nao/ruko ]の作成に失敗しました。",
                   "フォルダ[ /home/nao/ruko/conf ]の作成に失敗しました。"}),
            messages(qi::LogLevel_Info));
  EXPECT_EQ(Lines{"ruko.confファイル[ " + kConf + " ]の保存に失敗しました。"}, messages(qi::LogLevel_Warning));
  EXPECT_EQ(1u, peer.commands().size());
}

// A topic that cannot be fetched, then one that cannot be saved.
TEST_F(KTLarkinTest, FailingTopicStopsTheTransferThere) {
  oldFiles();
  serve({"a.top", "b.top", "c.top"}, {"a.top", "c.top"});
  ASSERT_TRUE(peer.start());
  EXPECT_EQ("FAIL:gettopicfie", getTopicFiles());
  EXPECT_EQ((Lines{"getrukoconf\\r\\n", "getTopic:a.top\\r\\n", "getTopic:b.top\\r\\n"}), peer.commands());
  EXPECT_EQ((Lines{kNoFile, notFetched("b.top")}), messages(qi::LogLevel_Warning));
  EXPECT_EQ(configListing({"a.top", "b.top", "c.top"}), root.read(kConf));
  EXPECT_EQ((Lines{".top", "a.TOP", "a.b.top", "a.top", "readme"}), topicFolder());

  log.clear();
  serve({"a.top", "b.top", "c.top"}, {"b.top"});
  kt::makeFolders(root.at(kTopics + "c.top"));  // a folder where the file goes
  EXPECT_EQ("FAIL:savetopicfile", getTopicFiles());
  EXPECT_EQ(Lines{"topicファイル[ " + kTopics + "c.top ]の保存に失敗しました。"}, messages(qi::LogLevel_Warning));
  EXPECT_EQ("b.top text\n", root.read(kTopics + "b.top"));
  EXPECT_EQ(7u, peer.commands().size());
}

TEST_F(KTLarkinTest, NamesThatAreNotPlainFileNamesAreRefused) {
  serve({}, {"good.top"});
  ASSERT_TRUE(peer.start());
  root.write("/home/nao/ruko/dialog/keep.top", "outside the topic folder");
  for (const std::string& bad :
       {std::string(""), std::string("."), std::string(".."), std::string("../keep.top"),
        std::string("sub/x.top"), std::string("/tmp/abs.top"), std::string(600, 'n')}) {
    SCOPED_TRACE(bad);
    log.clear();
    peer.put("ruko.conf", configListing({"good.top", bad, "good.top"}));
    size_t before = peer.commands().size();
    EXPECT_EQ("FAIL:gettopicfie", getTopicFiles());
    Lines asked = peer.commands();
    asked.erase(asked.begin(), asked.begin() + before);
    EXPECT_EQ((Lines{"getrukoconf\\r\\n", "getTopic:good.top\\r\\n"}), asked);
    EXPECT_EQ(Lines{notFetched(bad.substr(0, 511))}, messages(qi::LogLevel_Warning));
  }
  EXPECT_EQ("outside the topic folder", root.read("/home/nao/ruko/dialog/keep.top"));
  EXPECT_EQ(Lines{"good.top"}, topicFolder());
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
  EXPECT_EQ(std::string(kTooBig) + "\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((Lines{kTooBig, kNoFile, notFetched("big.top")}), messages(qi::LogLevel_Warning));
  EXPECT_FALSE(root.exists(kTopics + "big.top"));

  log.clear();
  peer.put("ruko.conf", conf + pad + " ");
  testing::internal::CaptureStdout();
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles());
  EXPECT_EQ(std::string(kTooBig) + "\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((Lines{kTooBig, kNoFile, kNoConf}), messages(qi::LogLevel_Warning));
  EXPECT_EQ(99999u, root.read(kConf).size());
}

// A refused login, then a server that says nothing: the old files stay.
TEST_F(KTLarkinTest, RefusedLoginAndSilentServerLeaveEveryFileAsItWas) {
  oldFiles();
  serve({"a.top"}, {"a.top"});
  ASSERT_TRUE(peer.start({"--fault", "1=refuse", "--mode", "silent"}));
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles());
  EXPECT_EQ((Lines{"loginに失敗： 中止 = 530: login incorrect\r\n", kNoConf}), messages(qi::LogLevel_Warning));
  EXPECT_EQ("old conf", root.read(kConf));
  EXPECT_EQ((Lines{".top", "a.TOP", "a.b.top", "old.top", "old.top~", "readme"}), topicFolder());

  log.clear();
  kt::test::ShortTimeOuts shortened(500);
  EXPECT_EQ("FAIL:unablerukoconf", getTopicFiles());
  Lines warnings = messages(qi::LogLevel_Warning);
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ("ソケットの読み込みがタイムアウトしました： 中止", warnings.front());
  EXPECT_EQ(kNoConf, warnings.back());
  EXPECT_EQ("old conf", root.read(kConf));
  EXPECT_EQ(6u, topicFolder().size());
}

}  // namespace
