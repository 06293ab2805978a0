// The one header through which Knobvane reaches its platform.
//
// On Windows it is the system's own <windows.h> and <mmsystem.h>. Elsewhere it declares
// exactly the Windows types, constants and functions the programs use, with the Windows
// names and values, so the same sources compile unchanged; the functions then come from
// the layer linked in: platform/pulse (mixer), platform/posix (serial, process) or
// platform/sim (the simulated mixer for tests). Structure layouts only match Windows in
// the Windows build: code sizes its records with sizeof, never with literal numbers.
#ifndef KNOBVANE_PLATFORM_WIN32_H
#define KNOBVANE_PLATFORM_WIN32_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <mmsystem.h>

// The record sizes the mixer and serial calls are made with on 32-bit Windows.
// The programs' mixer calls go to the Windows mixer face (platform/windows/mixer.cpp): winmm's
// devices through winmm, then the default and application lines through Core Audio. The face
// itself, and the stand-in winmm.dll of the tests, call winmm's own.
#if !defined(_WINMM_) && !defined(KNOBVANE_WINMM_ITSELF)
extern "C" {
UINT WINAPI KnobvaneMixerGetNumDevs(void);
MMRESULT WINAPI KnobvaneMixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback,
                                  DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI KnobvaneMixerClose(HMIXER hmx);
MMRESULT WINAPI KnobvaneMixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps);
MMRESULT WINAPI KnobvaneMixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo);
MMRESULT WINAPI KnobvaneMixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc,
                                              DWORD fdwControls);
MMRESULT WINAPI KnobvaneMixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                                DWORD fdwDetails);
MMRESULT WINAPI KnobvaneMixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                               DWORD fdwDetails);
}
#define mixerGetNumDevs KnobvaneMixerGetNumDevs
#define mixerOpen KnobvaneMixerOpen
#define mixerClose KnobvaneMixerClose
#define mixerGetDevCapsA KnobvaneMixerGetDevCapsA
#define mixerGetLineInfoA KnobvaneMixerGetLineInfoA
#define mixerGetLineControlsA KnobvaneMixerGetLineControlsA
#define mixerGetControlDetailsA KnobvaneMixerGetControlDetailsA
#define mixerSetControlDetails KnobvaneMixerSetControlDetails
#endif

#ifndef _WIN64
static_assert(sizeof(MIXERCAPSA) == 48, "MIXERCAPSA");
static_assert(sizeof(MIXERLINEA) == 168, "MIXERLINEA");
static_assert(sizeof(MIXERLINECONTROLSA) == 24, "MIXERLINECONTROLSA");
static_assert(sizeof(MIXERCONTROLA) == 148, "MIXERCONTROLA");
static_assert(sizeof(MIXERCONTROLDETAILS) == 24, "MIXERCONTROLDETAILS");
static_assert(sizeof(MIXERCONTROLDETAILS_UNSIGNED) == 4, "MIXERCONTROLDETAILS_UNSIGNED");
static_assert(sizeof(DCB) == 28, "DCB");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS");
#endif

#else  // !_WIN32

#include <cstdint>

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char CHAR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;

typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HMIXER__* HMIXER;
typedef struct HMIXEROBJ__* HMIXEROBJ;
typedef HMIXER* LPHMIXER;

#define FALSE 0
#define TRUE 1
// Windows' calling convention of its functions; the C one here.
#define WINAPI

// ---- Multimedia mixer ------------------------------------------------------------------

typedef UINT MMRESULT;
typedef UINT MMVERSION;

#define MMSYSERR_NOERROR 0u
#define MMSYSERR_ERROR 1u
#define MMSYSERR_BADDEVICEID 2u
#define MMSYSERR_INVALHANDLE 5u
#define MMSYSERR_NODRIVER 6u
#define MMSYSERR_NOMEM 7u
#define MMSYSERR_NOTSUPPORTED 8u
#define MMSYSERR_INVALFLAG 10u
#define MMSYSERR_INVALPARAM 11u
#define MIXERR_INVALLINE 1024u
#define MIXERR_INVALCONTROL 1025u

#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u

#define MAXPNAMELEN 32
#define MIXER_SHORT_NAME_CHARS 16
#define MIXER_LONG_NAME_CHARS 64

// The handle-type bits of a mixer call's flags. With none of them (MIXER_OBJECTF_MIXER)
// the object passed is a device index or an open mixer handle.
#define MIXER_OBJECTF_HANDLE 0x80000000u
#define MIXER_OBJECTF_MIXER 0x00000000u
#define MIXER_OBJECTF_HMIXER (MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_MIXER)
#define MIXER_OBJECTF_TYPEMASK 0xF0000000u

#define MIXER_GETLINEINFOF_DESTINATION 0x00000000u
#define MIXER_GETLINEINFOF_SOURCE 0x00000001u
#define MIXER_GETLINEINFOF_LINEID 0x00000002u
#define MIXER_GETLINEINFOF_COMPONENTTYPE 0x00000003u
#define MIXER_GETLINEINFOF_TARGETTYPE 0x00000004u
#define MIXER_GETLINEINFOF_QUERYMASK 0x0000000Fu

#define MIXER_GETLINECONTROLSF_ALL 0x00000000u
#define MIXER_GETLINECONTROLSF_ONEBYID 0x00000001u
#define MIXER_GETLINECONTROLSF_ONEBYTYPE 0x00000002u
#define MIXER_GETLINECONTROLSF_QUERYMASK 0x0000000Fu

#define MIXER_GETCONTROLDETAILSF_VALUE 0x00000000u
#define MIXER_GETCONTROLDETAILSF_QUERYMASK 0x0000000Fu
#define MIXER_SETCONTROLDETAILSF_VALUE 0x00000000u

#define MIXERLINE_LINEF_ACTIVE 0x00000001u
#define MIXERLINE_LINEF_SOURCE 0x80000000u
#define MIXERLINE_COMPONENTTYPE_DST_SPEAKERS 4u
#define MIXERLINE_COMPONENTTYPE_DST_WAVEIN 7u
#define MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT 0x1008u

#define MIXERCONTROL_CONTROLTYPE_VOLUME 0x50030001u

typedef struct tagMIXERCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  DWORD fdwSupport;
  DWORD cDestinations;
} MIXERCAPSA, *LPMIXERCAPSA;

typedef struct tagMIXERLINEA {
  DWORD cbStruct;
  DWORD dwDestination;
  DWORD dwSource;
  DWORD dwLineID;
  DWORD fdwLine;
  DWORD_PTR dwUser;
  DWORD dwComponentType;
  DWORD cChannels;
  DWORD cConnections;
  DWORD cControls;
  CHAR szShortName[MIXER_SHORT_NAME_CHARS];
  CHAR szName[MIXER_LONG_NAME_CHARS];
  struct {
    DWORD dwType;
    DWORD dwDeviceID;
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[MAXPNAMELEN];
  } Target;
} MIXERLINEA, *LPMIXERLINEA;

typedef struct tagMIXERCONTROLA {
  DWORD cbStruct;
  DWORD dwControlID;
  DWORD dwControlType;
  DWORD fdwControl;
  DWORD cMultipleItems;
  CHAR szShortName[MIXER_SHORT_NAME_CHARS];
  CHAR szName[MIXER_LONG_NAME_CHARS];
  union {
    struct {
      LONG lMinimum;
      LONG lMaximum;
    };
    struct {
      DWORD dwMinimum;
      DWORD dwMaximum;
    };
    DWORD dwReserved[6];
  } Bounds;
  union {
    DWORD cSteps;
    DWORD cbCustomData;
    DWORD dwReserved[6];
  } Metrics;
} MIXERCONTROLA, *LPMIXERCONTROLA;

typedef struct tagMIXERLINECONTROLSA {
  DWORD cbStruct;
  DWORD dwLineID;
  union {
    DWORD dwControlID;
    DWORD dwControlType;
  };
  DWORD cControls;
  DWORD cbmxctrl;
  LPMIXERCONTROLA pamxctrl;
} MIXERLINECONTROLSA, *LPMIXERLINECONTROLSA;

typedef struct tMIXERCONTROLDETAILS {
  DWORD cbStruct;
  DWORD dwControlID;
  DWORD cChannels;
  union {
    HWND hwndOwner;
    DWORD cMultipleItems;
  };
  DWORD cbDetails;
  LPVOID paDetails;
} MIXERCONTROLDETAILS, *LPMIXERCONTROLDETAILS;

typedef struct tMIXERCONTROLDETAILS_UNSIGNED {
  DWORD dwValue;
} MIXERCONTROLDETAILS_UNSIGNED;

extern "C" {
UINT mixerGetNumDevs(void);
MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                   DWORD fdwOpen);
MMRESULT mixerClose(HMIXER hmx);
MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps);
MMRESULT mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo);
MMRESULT mixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc, DWORD fdwControls);
MMRESULT mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails);
MMRESULT mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails);
}

// ---- Files, serial ports, process -------------------------------------------------------

typedef DWORD* LPDWORD;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAXDWORD 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u

#define DTR_CONTROL_DISABLE 0u
#define DTR_CONTROL_ENABLE 1u
#define RTS_CONTROL_DISABLE 0u
#define RTS_CONTROL_ENABLE 1u
#define RTS_CONTROL_HANDSHAKE 2u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define MB_OK 0x00000000u
#define IDOK 1

typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

extern "C" {
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
DWORD GetLastError(void);
LPSTR GetCommandLineA(void);
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount(void);
}

#endif  // _WIN32

#endif  // KNOBVANE_PLATFORM_WIN32_H
