#pragma once

#include "app/peer/wire/TimeOutSocket.h"

#include <memory>
#include <string>

// How a peer client opens and closes its connections. Every request uses a
// fresh connection: open, write the request fields, read the reply fields, close.

// A connection to host (dotted address or name) and port, connected within 5
// seconds; nothing when it could not be made, with the socket layer's error
// number in error when given.
std::unique_ptr<TimeOutSocket> OpenConnection(const std::string& host, int port,
                                              int* error = nullptr);

// Closes the socket and destroys the connection object.
void CloseConnection(std::unique_ptr<TimeOutSocket>& connection);

// The address the peer listeners bind to: HALVARA_ADDRESS when it is set (so
// several users can run on one machine, each on its own loopback address), else
// "" for every local address.
std::string ListenAddress();
