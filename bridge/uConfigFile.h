#pragma once
// config.xml: the one setting the program keeps between runs, the port of its HTTP server.
//
// Written as `<?xml version="1.0" encoding="windows-1250"?>` CR LF `<root WebPort="N"/>` CR LF;
// read from any well-formed document, whatever its root element's name.

#include <cstdint>
#include <filesystem>
#include <string>

namespace uConfigFile {

inline constexpr const char* kConfigFileName = "config.xml";

// Reads WebPort into port. A missing, unreadable or malformed file changes nothing and
// returns false; a readable file whose WebPort is missing or not an integer sets port to 0.
bool LoadConfigFile(const std::filesystem::path& file, std::int32_t& port);

// The bytes SaveConfigFile writes.
std::string ConfigFileText(std::int32_t port);

// Writes the file through a temporary file renamed over the old one, so a failed write
// leaves the previous file whole. On failure returns false with a message naming the file.
bool SaveConfigFile(const std::filesystem::path& file, std::int32_t port, std::string& error);

}  // namespace uConfigFile
