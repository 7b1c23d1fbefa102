// KTLarkin: fetches the configuration file and the dialog topics from the
// content server and stores them where the dialog robot reads them.
#ifndef KTLARKIN_H
#define KTLARKIN_H

#include <string>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/almodule.h>

class KTLarkin : public AL::ALModule {
public:
  KTLarkin(boost::shared_ptr<AL::ALBroker> broker, const std::string& name);
  virtual ~KTLarkin();

  // "SUCCESS" or a code beginning with "FAIL:".
  std::string getTopicFiles(const std::string& user, const std::string& ftpsession);

  // Creates /home/nao/ followed by path when nothing has that name.
  void checkFolders(const char* path);
  // Deletes the .top and .top~ files of a folder; path ends in a slash.
  void deleteFilesInFolder(const char* path);
  // Removes white space at both ends in place; returns str.
  char* trim(char* str);
};

#endif
