// JSON text of platform values, for the journal and the client.
#ifndef KTPLATFORM_JSON_H
#define KTPLATFORM_JSON_H

#include <string>

#include <alvalue/alvalue.h>

namespace kt {

// none is null; floats in their shortest text; texts escaped.
std::string toJson(const AL::ALValue& value);
// The same text, appended to out.
void appendJson(std::string& out, const AL::ALValue& value, bool asUtf8 = true);
// text as a JSON string, appended to out; bytes that are not UTF-8 are
// written as U+FFFD, so that the output is always valid UTF-8, unless
// asUtf8 is false: the robot's own reader then gets the bytes as they are.
void appendJsonText(std::string& out, const std::string& text, bool asUtf8 = true);
// False when text is not one complete JSON value (objects are not values
// here) or holds a surrogate escape that is not part of a pair.
bool parseJson(const std::string& text, AL::ALValue& out);
// A valid JSON text as its value, anything else as the text itself.
AL::ALValue valueFromArg(const std::string& text);

}  // namespace kt

#endif
