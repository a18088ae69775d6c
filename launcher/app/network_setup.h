#pragma once

// Every exchange of the launcher goes through the proxy the system configures
// (on Linux the https_proxy, http_proxy and no_proxy variables), as a browser
// on the same machine would. The application object turns this on at start;
// each request path calls it again before its first request, so tools and
// tests that use the launcher's libraries without that object get it too.
// Thread-safe. Qt never sends loopback addresses (127.0.0.0/8, ::1,
// localhost) through a proxy.
void use_system_proxy();
