// Creating the local encoder component's objects.
#pragma once

#include <memory>

#include "platform/encoder/encoder.h"

namespace shardex::encoder {

// A new encoder on this computer (FFmpeg), writing into the Shardex folder: a link planted in
// an output's place there (or a file with other names) is refused, never written through.
// Never null; throws shardex::Error when the component cannot be set up.
std::shared_ptr<Encoder> create_local_encoder();

// A new, empty profile-editing object.
std::shared_ptr<ProfileEditor> create_profile_editor();

// A new data view, to be added to a video source.
std::shared_ptr<DataView> create_data_view();

}  // namespace shardex::encoder
