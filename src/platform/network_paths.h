// Paths as they cross the network, and their local forms. The window builds a client's
// source path here; the agent and the shares take them apart here. No network code.
//
// A source chosen as D:\Video\clip.avi on SRV travels as "//SRV/Video/clip.avi"; on systems
// without drive letters /home/ann/clip.avi on SRV travels as "//SRV/home/ann/clip.avi".
// Output files travel as plain file names that each computer places in its own Shardex folder.
#pragma once

#include <string>

namespace shardex::platform {

// "//" + server + the source path without its drive ("X:"), with '\' written as '/'.
std::string network_source_path(const std::string& server, const std::string& localPath);

struct NetworkPath {
    std::string server;  // the computer that shares the file
    std::string path;    // the path on that computer, from its first '/' on
};

// Takes "//SERVER/path" apart (either slash). Throws shardex::Error for anything else.
NetworkPath parse_network_path(const std::string& networkPath);

// The path part of a local file as its share names it: the path without its drive, '/'
// separators. Equal to parse_network_path(network_source_path(s, p)).path.
std::string share_path_of(const std::string& localPath);

// Throws shardex::Error unless `name` is a plain file name: not empty, at most 255 bytes,
// no '/', '\\', ':' or NUL, not "." or "..".
void check_plain_name(const std::string& name);

// The plain file name an output path names in a Shardex folder: a plain name as it is, or
// the part after this computer's Shardex folder prefix (or "C:\Shardex\"). Throws
// shardex::Error for a path anywhere else.
std::string output_name_of(const std::string& outputPath);

}  // namespace shardex::platform
