#pragma once
// The Windows headers in the order Winsock needs them. Every Windows-facing file of
// the tunnel library includes this one instead of <windows.h>.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>
