// The platform services the player uses, under their Windows names: wave output
// (WINMM) and the modal message box (USER32). On Windows these are the real
// headers; elsewhere the same calls are declared here and implemented over the
// host's audio and terminal.
#pragma once

#ifdef _WIN32

#include <windows.h>
// windows.h first: mmsystem.h depends on its types.
#include <mmsystem.h>

#else

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using DWORD_PTR = std::uintptr_t;
using LPSTR = char*;
using MMRESULT = UINT;
using HWND = void*;

struct HWAVEOUT__;
using HWAVEOUT = HWAVEOUT__*;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
inline constexpr DWORD CALLBACK_NULL = 0;
inline constexpr WORD WAVE_FORMAT_PCM = 1;

inline constexpr DWORD WHDR_DONE = 0x01;
inline constexpr DWORD WHDR_PREPARED = 0x02;
inline constexpr DWORD WHDR_BEGINLOOP = 0x04;
inline constexpr DWORD WHDR_ENDLOOP = 0x08;
inline constexpr DWORD WHDR_INQUEUE = 0x10;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;
inline constexpr UINT MAXERRORLENGTH = 256;

inline constexpr UINT MB_OK = 0;
inline constexpr int IDOK = 1;

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutGetErrorTextA(MMRESULT mmrError, char* pszText, UINT cchText);

// Blocks until the user answers; returns IDOK.
int MessageBoxW(HWND hWnd, const wchar_t* lpText, const wchar_t* lpCaption, UINT uType);

#endif
