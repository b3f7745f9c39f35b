#ifndef RT_TOOLS_RT_HTTP_GET_H_
#define RT_TOOLS_RT_HTTP_GET_H_

#include <string>

// One HTTP/1.0 GET of path from an IPv4 host:port, for the router's monitoring pages. The HTTP
// status (body in *body), or -1 when the server could not be reached or answered no HTTP within
// timeoutMs, connecting included. Blocking; any thread.
int RtHttpGet(const std::string &host, int port, const std::string &path, int timeoutMs,
              std::string *body);

#endif  // RT_TOOLS_RT_HTTP_GET_H_
