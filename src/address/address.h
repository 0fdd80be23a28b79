// Server address text: turning what the user wrote into the authority of a
// URL, choosing the scheme, and finding the interface of a link-local server.
// Every decision is made on the text alone; nothing is parsed as a number.
#ifndef MGMTFETCH_ADDRESS_ADDRESS_H_
#define MGMTFETCH_ADDRESS_ADDRESS_H_

#include <string>

// The address ready to be a URL authority: text with a "." unchanged, an
// IPv6 literal bracketed before its port, a link-local address completed
// with the interface through which the server answers.
std::string GetServerIp(std::string address);

// Splits at the last ":" (the port). Link-local text gets "%" + interface
// before the port; other text whose host part holds a ":" gets brackets.
std::string Insert_Ipv6_Interface(std::string address, std::string interface);

// "https://" when the port text ends in "443" and does not sort after
// "65535" byte-wise, else "http://"; then the address as a URL authority
// (a link-local scope is written bracketed, with its "%" as "%25"; a zone
// that libcurl would not read back as the same interface name is left out,
// so that request cannot leave through any interface).
std::string FormatIpAddr(std::string address);

// The local interface through which the link-local server answers the probe
// first, or "" when none does. Interfaces are probed in inventory order, each
// next one as soon as the one before has failed or has gone 250 ms without an
// answer, so a dead link costs the stagger, not the time-out; when servers
// answer within the stagger, this is the first interface that answers.
std::string Gen_Ipv6_Interface(std::string address);

// Probes the server named by the scoped candidate address: 0 if it answered
// with status 200 and a body, -1 otherwise.
int Confirm_Connect(std::string candidate);

#endif  // MGMTFETCH_ADDRESS_ADDRESS_H_
