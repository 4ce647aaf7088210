// Reading an LZH archive that is already there: the archive mksfx is given, and the archive
// mklzh updates. Only the headers are read; a member's bytes are copied as they stand.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "lzh/member_header.h"

namespace nivo {

struct ExistingMember {
    HeaderStatus status = HeaderStatus::member;  // member, or nameTooLong
    MemberHeader header{};
    long start = 0;  // of the header
    long end = 0;    // behind the data
};

// Reads every header of the plain LZH archive at path into members. False with the reason in
// error (to follow "path: ") when the file cannot be read, is a self-extracting file, is not
// an LZH archive (no member header at its start, an empty file included), has a damaged
// header or is cut short.
bool readExistingArchive(const std::string& path, std::vector<ExistingMember>& members, std::string& error);

// Copies the bytes from..to of in to out. False with the reason in error.
bool copyBytes(FILE* in, long from, long to, FILE* out, std::string& error);

}  // namespace nivo
