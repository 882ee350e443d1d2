#pragma once
// The command language: one request line in, one fixed reply text out.
#include <windows.h>

#include <string>

// `client` is the pipe instance the line came through, for naming who sent
// a request that changes something; without one the log says "?".
std::wstring DispatchCommand(const std::wstring& line, HANDLE client = nullptr);

// The payload of "connect": strict standard Base64 (RFC 4648 alphabet, length
// a multiple of four, padding only at the end, nothing else, not empty) of
// UTF-8 text. Decodes into UTF-16 over the exact byte count, so zero bytes and
// a byte-order mark survive. Returns false when the payload is not Base64.
bool DecodeConnectPayload(const std::wstring& payload, std::wstring& configuration);
