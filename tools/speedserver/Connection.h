#pragma once

#include "ServerOptions.h"
#include "Stream.h"

#include <memory>

namespace speedserver {

// Answers the requests of one connection until it closes, on the calling thread.
void serveConnection(std::unique_ptr<Stream> stream, const ServerOptions &options);

} // namespace speedserver
