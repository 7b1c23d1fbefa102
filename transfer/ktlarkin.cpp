#include "ktlarkin.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include <qi/log.hpp>

#include "ktinet.h"
#include "ktpath.h"
#include "ktxml2.h"
#include "larkinlog.h"

namespace {

const char* const kConfPath = "/home/nao/ruko/conf/ruko.conf";
const int kConfSize = 100000;
const int kTopicSize = 1000000;
const int kMaxTopics = 256;

// About 1.2 MB: too much for a platform thread's stack.
struct TransferBuffers {
  char command[512];
  char path[512];
  char conf[kConfSize];
  char topics[kMaxTopics][512];
  char topic[kTopicSize];
};

// Two transfers at once would write the same files.
std::mutex transferMutex;

// A topic name becomes a file name in the topic folder: it must name a
// file right there.
bool isPlainFileName(const char* name) {
  return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
         std::strchr(name, '/') == 0;
}

// Writes text up to its NUL; false when the file could not be written whole.
bool saveText(const std::string& file, const char* text) {
  FILE* fp = std::fopen(file.c_str(), "w");
  if (fp == 0) return false;
  bool written = std::fputs(text, fp) >= 0;
  return (std::fclose(fp) == 0) && written;
}

}  // namespace

KTLarkin::KTLarkin(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
  : AL::ALModule(broker, name) {
  setModuleDescription("KTLarkinはロボットとクラウドの間でファイルを送受するプロジェクトである。");

  functionName("getTopicFiles", getName(), "Topicファイルをクラウドから取得する", 0);
  addParam("user", "ユーザー名 user@example.comのような形で");
  addParam("ftpsession", "ftpsessionの値をセットする");
  BIND_METHOD(KTLarkin::getTopicFiles);
}

KTLarkin::~KTLarkin() {}

std::string KTLarkin::getTopicFiles(const std::string& user, const std::string& ftpsession) {
  std::string session(ftpsession);
  // An empty text has no character of its own to trim in place.
  if (!session.empty()) trim(&session[0]);
  if (std::strlen(session.c_str()) != 32) {
    KTLOG(qi::LogLevel_Warning) << "FTPセッション変数がセットされていません。";
    return "FAIL:nosession";
  }

  std::lock_guard<std::mutex> lock(transferMutex);
  std::unique_ptr<TransferBuffers> buf(new TransferBuffers);
  char topicFolder[30];
  std::snprintf(topicFolder, sizeof(topicFolder), "%s", "/home/nao/ruko/dialog/topics/");
  KTInet inet;

  std::snprintf(buf->command, sizeof(buf->command), "%s", "getrukoconf");
  if (!inet.getRemoteFile(buf->command, user.c_str(), session.c_str(), buf->conf, kConfSize)) {
    KTLOG(qi::LogLevel_Warning) << "ruko.confファイル [ " << buf->command
                                << " ] を取得できませんでした： 中止";
    return "FAIL:unablerukoconf";
  }

  checkFolders("ruko");
  checkFolders("ruko/conf");

  std::snprintf(buf->path, sizeof(buf->path), "%s", kConfPath);
  if (!saveText(ktRobotPath(buf->path), buf->conf)) {
    KTLOG(qi::LogLevel_Warning) << "ruko.confファイル[ " << buf->path << " ]の保存に失敗しました。";
    return "FAIL:saverukoconf";
  }
  KTLOG(qi::LogLevel_Info) << "ファイル[ " << buf->path << " ]を保存しました。";

  checkFolders("ruko/dialog");
  checkFolders("ruko/dialog/topics");
  deleteFilesInFolder(topicFolder);

  int topicCount;
  {
    KTXml2 xml(ktRobotPath(kConfPath).c_str());
    topicCount = xml.getUploadTopics(buf->topics);
  }

  KTLOG(qi::LogLevel_Info) << "******** トピックファイルの取得 *********";
  for (int i = 0; i < topicCount; ++i) {
    const char* name = buf->topics[i];
    int commandLength = std::snprintf(buf->command, sizeof(buf->command), "getTopic:%s", name);
    int pathLength = std::snprintf(buf->path, sizeof(buf->path), "%s%s", topicFolder, name);
    bool usable = isPlainFileName(name) && commandLength < static_cast<int>(sizeof(buf->command)) &&
                  pathLength < static_cast<int>(sizeof(buf->path));
    if (usable) KTLOG(qi::LogLevel_Info) << "トピックファイル path = " << buf->path;
    if (!usable || !inet.getRemoteFile(buf->command, user.c_str(), session.c_str(), buf->topic,
                                       kTopicSize)) {
      KTLOG(qi::LogLevel_Warning) << "トピックファイル [ " << name
                                  << " ] を取得できませんでした： 中止";
      return "FAIL:gettopicfie";
    }
    if (!saveText(ktRobotPath(buf->path), buf->topic)) {
      KTLOG(qi::LogLevel_Warning) << "topicファイル[ " << buf->path << " ]の保存に失敗しました。";
      return "FAIL:savetopicfile";
    }
    KTLOG(qi::LogLevel_Info) << "ファイル[ " << buf->path << " ]を保存しました。";
  }
  return "SUCCESS";
}

void KTLarkin::checkFolders(const char* path) {
  char folder[512];
  int n = std::snprintf(folder, sizeof(folder), "/home/nao/%s", path);
  if (n < 0 || n >= static_cast<int>(sizeof(folder))) return;
  std::string real = ktRobotPath(folder);
  struct stat st;
  if (stat(real.c_str(), &st) == 0) return;
  if (mkdir(real.c_str(), 0755) == 0)
    KTLOG(qi::LogLevel_Info) << "フォルダ[ " << folder << " ]を作成しました。";
  else
    KTLOG(qi::LogLevel_Info) << "フォルダ[ " << folder << " ]の作成に失敗しました。";
}

void KTLarkin::deleteFilesInFolder(const char* path) {
  DIR* dir = opendir(ktRobotPath(path).c_str());
  if (dir == 0) return;
  char file[512];
  // readdir ends both the folder and a read error with 0; errno tells which.
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == 0) break;
    const char* name = entry->d_name;
    KTLOG(qi::LogLevel_Info) << "ファイル[ " << name << " ]がありました。";
    if (std::strlen(name) <= 4) continue;
    const char* ext = std::strchr(name, '.');
    if (ext == 0 || (std::strcmp(ext, ".top") != 0 && std::strcmp(ext, ".top~") != 0)) continue;
    int n = std::snprintf(file, sizeof(file), "%s%s", path, name);
    if (n < 0 || n >= static_cast<int>(sizeof(file))) continue;
    unlink(ktRobotPath(file).c_str());
    KTLOG(qi::LogLevel_Info) << "ファイル[ " << file << " ]削除しました。";
  }
  // Old topics left in a folder that cannot be read would pass for new ones.
  if (errno != 0) {
    const int error = errno;
    KTLOG(qi::LogLevel_Warning) << "フォルダ[ " << path << " ]の読み込みに失敗しました： 中止";
    errno = error;
    std::perror(ktRobotPath(path).c_str());
  }
  closedir(dir);
}

char* KTLarkin::trim(char* str) {
  if (str == 0) return str;
  size_t len = std::strlen(str);
  while (len > 0 && std::isspace(static_cast<unsigned char>(str[len - 1]))) --len;
  str[len] = '\0';
  size_t start = 0;
  while (start < len && std::isspace(static_cast<unsigned char>(str[start]))) ++start;
  if (start > 0) std::memmove(str, str + start, len - start + 1);
  return str;
}
