// Temporary: the record line until the rendering lands on this branch.
#include "records/UNTMobile.h"

std::string telvaro::TNTMobile::Print() const { return "record " + std::to_string(Rec.Event); }
