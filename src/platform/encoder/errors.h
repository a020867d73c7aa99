// The 32-bit codes the encoder reports through OnError (and carries in shardex::Error where a
// call fails with one). They follow the HRESULT layout: severity bit set (negative as int32),
// facility 0x00D (media), so a remote proxy can pass them on unchanged.
#pragma once

#include <cstdint>

namespace shardex::encoder::errors {

// A source could not be opened or read (missing file, unknown format, no usable stream).
inline constexpr std::int32_t kSourceUnreadable = static_cast<std::int32_t>(0xC00D0001u);
// Decoding the source failed beyond recovery in the middle of the encode.
inline constexpr std::int32_t kDecodeFailed = static_cast<std::int32_t>(0xC00D0002u);
// A video or audio encoder refused the profile's settings or failed while encoding.
inline constexpr std::int32_t kEncodeFailed = static_cast<std::int32_t>(0xC00D0003u);
// Writing the output file failed (disk full, file removed, I/O error).
inline constexpr std::int32_t kWriteFailed = static_cast<std::int32_t>(0xC00D0004u);
// The output file could not be created (missing folder, no permission).
inline constexpr std::int32_t kOutputUnavailable = static_cast<std::int32_t>(0xC00D0005u);
// The encoder was asked to do something its configuration does not allow: no profile, no
// output name, no source, a call in the wrong state.
inline constexpr std::int32_t kBadConfiguration = static_cast<std::int32_t>(0xC00D0006u);
// A profile definition could not be read or describes something the encoder cannot make.
inline constexpr std::int32_t kBadProfile = static_cast<std::int32_t>(0xC00D0007u);
// The computer that ran the encode stopped answering or dropped its connection: the encode
// there has ended, its file holds what was written until then.
inline constexpr std::int32_t kConnectionLost = static_cast<std::int32_t>(0xC00D0008u);
// Anything else that went wrong inside the encoder (out of memory, unexpected failure).
inline constexpr std::int32_t kInternal = static_cast<std::int32_t>(0xC00D00FFu);

}  // namespace shardex::encoder::errors
