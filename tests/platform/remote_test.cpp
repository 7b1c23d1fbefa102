// The robot link of the platform: wire form, line reading, and the forwarder
// that carries a forked process's proxy calls to the robot.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>
#include <ktplatform/remote.h>

#include "ktest.h"

using AL::ALValue;

namespace {

TEST(RemoteWire, ValuesSurviveTheRoundTripWithTheirTypes) {
  ALValue v = ALValue::array(1, 1.0f, 0.85f, "a \"b\"\n\tc");
  v.arrayPush(ALValue::array(true, ALValue(), ALValue::array()));
  v.arrayPush("日本語\x01");
  std::string line = kt::remote::encode(v);
  EXPECT_EQ(std::string::npos, line.find('\n'));
  EXPECT_EQ("[1,1.0,0.85,\"a \\\"b\\\"\\n\\tc\",[true,null,[]],\"日本語\\u0001\"]", line);
  ALValue back;
  ASSERT_TRUE(kt::remote::decode(line, back));
  EXPECT_EQ(v, back);
  EXPECT_TRUE(back[0].isInt());
  EXPECT_TRUE(back[1].isFloat());
  EXPECT_EQ("-3.0", kt::remote::encode(ALValue(-3.0f)));
  EXPECT_EQ("1e+10", kt::remote::encode(ALValue(1e10f)));
  EXPECT_FALSE(kt::remote::decode("[1,", back));

  // What the robot writes is UTF-8; a module's own call keeps its bytes.
  ALValue latin("caf\xe9");
  EXPECT_EQ("\"caf\xEF\xBF\xBD\"", kt::remote::encode(latin));
  ASSERT_TRUE(kt::remote::decode(kt::remote::encode(latin, false), back));
  EXPECT_EQ(latin, back);
}

TEST(RemoteWire, PatternsMatchWholeKeysOrPrefixesBeforeAStar) {
  EXPECT_TRUE(kt::remote::matches("did_walk", "did_walk"));
  EXPECT_FALSE(kt::remote::matches("did_walk", "did_walk2"));
  EXPECT_TRUE(kt::remote::matches("did_*", "did_walk"));
  EXPECT_TRUE(kt::remote::matches("did_*", "did_"));
  EXPECT_FALSE(kt::remote::matches("did_*", "did"));
  EXPECT_TRUE(kt::remote::matches("*", "anything"));
}

TEST(RemoteWire, DefaultSocketFollowsTheRobotRoot) {
  kt::test::TempRoot root;
  EXPECT_EQ(root.path() + "/var/run/ktrobot.sock", kt::remote::defaultSocketPath());
}

TEST(RemoteLineReader, JoinsPiecesSplitsLinesAndTimesOut) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  kt::remote::LineReader reader(fds[0]);
  std::string line;
  ASSERT_TRUE(kt::remote::writeAll(fds[1], "first pa"));
  EXPECT_EQ(-1, reader.readLine(line, 50));
  ASSERT_TRUE(kt::remote::writeAll(fds[1], "rt\nsecond\nthi"));
  EXPECT_EQ(1, reader.readLine(line, 1000));
  EXPECT_EQ("first part", line);
  EXPECT_EQ(1, reader.readLine(line, 1000));
  EXPECT_EQ("second", line);
  close(fds[1]);
  // An unfinished last line is no message.
  EXPECT_EQ(0, reader.readLine(line, 1000));
  close(fds[0]);
}

TEST(RemoteLineReader, ALineLongerThanTheLimitEndsTheReading) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  kt::remote::LineReader reader(fds[0], 8);
  std::string line;
  ASSERT_TRUE(kt::remote::writeAll(fds[1], "12345678\n123456789\nafter\n"));
  EXPECT_EQ(1, reader.readLine(line, 1000));
  EXPECT_EQ("12345678", line);
  EXPECT_FALSE(reader.tooLong());
  EXPECT_EQ(0, reader.readLine(line, 1000));
  EXPECT_TRUE(reader.tooLong());
  close(fds[1]);
  close(fds[0]);
}

// Plays the robot on a socket of its own: records each request line and
// answers with the reply given, fixed before its thread starts.
class FakeRobot {
public:
  explicit FakeRobot(const std::string& path, const std::string& answer = "[\"ok\",null]")
    : reply(answer), fPath(path) {
    fListen = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bind(fListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    listen(fListen, 8);
    fThread = std::thread([this] {
      for (;;) {
        int fd = accept(fListen, nullptr, nullptr);
        if (fd < 0) return;
        kt::remote::LineReader reader(fd);
        std::string line;
        while (reader.readLine(line, 5000) == 1) {
          {
            std::lock_guard<std::mutex> lock(fMutex);
            fRequests.push_back(line);
          }
          kt::remote::writeAll(fd, reply + "\n");
        }
        close(fd);
      }
    });
  }
  ~FakeRobot() {
    shutdown(fListen, SHUT_RDWR);
    fThread.join();
    close(fListen);
  }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fRequests;
  }
  const std::string reply;

private:
  std::string fPath;
  int fListen;
  std::thread fThread;
  std::mutex fMutex;
  std::vector<std::string> fRequests;
};

class ForwarderTest : public kt::test::RobotTest {
protected:
  // Runs body in a forked child; its exit code.
  template <typename F> int inChild(F body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  }
  std::string socketPath() { return root.path() + "/robot.sock"; }
};

TEST_F(ForwarderTest, AChildsProxyCallsGoOverTheSocketAndTheParentsStayLocal) {
  FakeRobot fake(socketPath(), "[\"ok\",\"from the robot\"]");
  kt::remote::installForwarder(broker, socketPath());
  AL::ALProxy speech(broker, "ALTextToSpeech", 0, 0);
  boost::shared_ptr<AL::ALMemoryProxy> memory =
      broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");

  int code = inChild([&] {
    try {
      speech.callVoid("say", std::string("こんにちは"));
      memory->raiseEvent("child_event", ALValue(1.5f));
      memory->raiseEvent("child_bytes", ALValue("\xff"));
      // Proxies made in the child go the same way.
      AL::ALProxy system(broker, "ALSystem", 0, 0);
      return system.call<std::string>("robotName") == "from the robot" ? 0 : 1;
    } catch (...) {
      return 2;
    }
  });
  EXPECT_EQ(0, code);
  EXPECT_EQ((std::vector<std::string>{
                "[\"call\",\"ALTextToSpeech\",\"say\",[\"こんにちは\"]]",
                "[\"call\",\"ALMemory\",\"raiseEvent\",[\"child_event\",1.5]]",
                "[\"call\",\"ALMemory\",\"raiseEvent\",[\"child_bytes\",\"\xff\"]]",
                "[\"call\",\"ALSystem\",\"robotName\",[]]"}),
            fake.requests());
  // Nothing ran on this process's services.
  EXPECT_TRUE(journal().empty());

  speech.callVoid("say", std::string("parent"));
  EXPECT_EQ(4u, fake.requests().size());
  EXPECT_EQ(std::vector<std::string>{"ALTextToSpeech.say [\"parent\"]"}, journal());
}

TEST_F(ForwarderTest, NoRobotIsAnErrorInTheChildNotAHang) {
  kt::remote::installForwarder(broker, socketPath());
  AL::ALProxy motion(broker, "ALMotion", 0, 0);
  int code = inChild([&] {
    try {
      motion.callVoid("wakeUp");
      return 1;
    } catch (const AL::ALError& e) {
      return std::string(e.what()).find("cannot reach the robot") != std::string::npos ? 0 : 2;
    }
  });
  EXPECT_EQ(0, code);
}

TEST_F(ForwarderTest, AGrandchildOpensItsOwnConnection) {
  FakeRobot fake(socketPath());
  kt::remote::installForwarder(broker, socketPath());
  AL::ALProxy speech(broker, "ALTextToSpeech", 0, 0);
  int code = inChild([&] {
    try {
      speech.callVoid("say", std::string("child"));
      pid_t pid = fork();
      if (pid == 0) {
        try {
          speech.callVoid("say", std::string("grandchild"));
          _exit(0);
        } catch (...) {
          _exit(1);
        }
      }
      int status = 0;
      waitpid(pid, &status, 0);
      speech.callVoid("say", std::string("child again"));
      return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    } catch (...) {
      return 2;
    }
  });
  EXPECT_EQ(0, code);
  EXPECT_EQ(3u, fake.requests().size());
}

}  // namespace
