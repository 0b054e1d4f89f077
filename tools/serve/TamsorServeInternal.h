// What TamsorServe.cpp shares with the library (ServeLibrary.cpp): the
// words to the user and the look at a disc's volumes.
#pragma once

#include <string>
#include <vector>

#include "QxLStatus.h"
#include "TamsorServe.h"

namespace tamsorserve {

std::string StatusText(QxStatus status);
int Fail(Server& server, const char* format, ...);
void Say(Server& server, const char* format, ...);
std::string JsonMember(const char* key, const std::string& value);
void EmitJson(Server& server, const char* name, const std::string& members);
std::vector<Volume> VolumesOf(const Disc& disc, bool* settling = nullptr);
std::string ImageProblem(const std::string& path);
std::string AdvertisedName(const std::string& volumeName);

}  // namespace tamsorserve
