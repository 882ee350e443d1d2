#pragma once
// The command language: one request line in, one fixed reply text out.
#include <string>

std::wstring DispatchCommand(const std::wstring& line);

// The payload of "connect": strict standard Base64 (RFC 4648 alphabet, length
// a multiple of four, padding only at the end, nothing else, not empty) of
// UTF-8 text. Decodes into UTF-16 over the exact byte count, so zero bytes and
// a byte-order mark survive. Returns false when the payload is not Base64.
bool DecodeConnectPayload(const std::wstring& payload, std::wstring& configuration);
