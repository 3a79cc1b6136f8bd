// The filter interface between the web server and the vell module: the records the server hands
// to the filter and the two exports it calls. On Windows this is the platform's <httpfilt.h>; on
// Linux the same records are declared here with the same field order, so that a host written for
// one builds for the other.
#ifndef VELL_ISAPI_H_
#define VELL_ISAPI_H_

#ifdef _WIN32
#include <windows.h>
#include <httpfilt.h>
#define VELL_EXPORT
#else
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef char CHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef char* LPSTR;
typedef uint32_t* LPDWORD;
typedef uintptr_t ULONG_PTR;
#define WINAPI
#define VELL_EXPORT __attribute__((visibility("default")))

#define SF_MAX_FILTER_DESC_LEN (256 + 1)

enum SF_REQ_TYPE {
  SF_REQ_SEND_RESPONSE_HEADER,
  SF_REQ_ADD_HEADERS_ON_DENIAL,
  SF_REQ_SET_NEXT_READ_SIZE,
  SF_REQ_SET_PROXY_INFO,
  SF_REQ_GET_CONNID,
  SF_REQ_SET_CERTIFICATE_INFO,
  SF_REQ_GET_PROPERTY,
  SF_REQ_NORMALIZE_URL,
  SF_REQ_DISABLE_NOTIFICATIONS
};

enum SF_STATUS_TYPE {
  SF_STATUS_REQ_FINISHED = 0x8000000,
  SF_STATUS_REQ_FINISHED_KEEP_CONN,
  SF_STATUS_REQ_NEXT_NOTIFICATION,
  SF_STATUS_REQ_HANDLED_NOTIFICATION,
  SF_STATUS_REQ_ERROR,
  SF_STATUS_REQ_READ_NEXT
};

#define SF_NOTIFY_SECURE_PORT 0x00000001
#define SF_NOTIFY_NONSECURE_PORT 0x00000002
#define SF_NOTIFY_READ_RAW_DATA 0x00008000
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000
#define SF_NOTIFY_AUTHENTICATION 0x00002000
#define SF_NOTIFY_URL_MAP 0x00001000
#define SF_NOTIFY_ACCESS_DENIED 0x00000800
#define SF_NOTIFY_SEND_RESPONSE 0x00000040
#define SF_NOTIFY_SEND_RAW_DATA 0x00000400
#define SF_NOTIFY_LOG 0x00000200
#define SF_NOTIFY_END_OF_REQUEST 0x00000080
#define SF_NOTIFY_END_OF_NET_SESSION 0x00000100
#define SF_NOTIFY_AUTH_COMPLETE 0x04000000
#define SF_NOTIFY_ORDER_HIGH 0x00080000
#define SF_NOTIFY_ORDER_MEDIUM 0x00040000
#define SF_NOTIFY_ORDER_LOW 0x00020000
#define SF_NOTIFY_ORDER_DEFAULT SF_NOTIFY_ORDER_LOW

typedef struct _HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

typedef struct _HTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  PVOID ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  PVOID pFilterContext;
  BOOL (*GetServerVariable)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName,
                            LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL (*AddResponseHeaders)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders,
                             DWORD dwReserved);
  BOOL (*WriteClient)(struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes,
                      DWORD dwReserved);
  LPVOID (*AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
  BOOL (*ServerSupportFunction)(struct _HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE sfReq,
                                PVOID pData, ULONG_PTR ul1, ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_PREPROC_HEADERS {
  BOOL (*GetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPVOID lpvBuffer,
                    LPDWORD lpdwSize);
  BOOL (*SetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  BOOL (*AddHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  DWORD HttpStatus;
  DWORD dwReserved;
} HTTP_FILTER_PREPROC_HEADERS, *PHTTP_FILTER_PREPROC_HEADERS;

typedef HTTP_FILTER_PREPROC_HEADERS HTTP_FILTER_SEND_RESPONSE;
typedef HTTP_FILTER_PREPROC_HEADERS* PHTTP_FILTER_SEND_RESPONSE;

// Records of notifications this filter never registers for; handed on by pointer only.
typedef struct _HTTP_FILTER_RAW_DATA HTTP_FILTER_RAW_DATA;
typedef struct _HTTP_FILTER_AUTHENT HTTP_FILTER_AUTHENT;
typedef struct _HTTP_FILTER_URL_MAP HTTP_FILTER_URL_MAP;
typedef struct _HTTP_FILTER_LOG HTTP_FILTER_LOG;
typedef struct _HTTP_FILTER_AUTH_COMPLETE_INFO HTTP_FILTER_AUTH_COMPLETE_INFO;
typedef struct _HTTP_FILTER_ACCESS_DENIED HTTP_FILTER_ACCESS_DENIED;

// The calling thread's last-error code as the filter set it (87 after a deny).
VELL_EXPORT uint32_t GetLastError(void);

#ifdef __cplusplus
}
#endif
#endif  // _WIN32

#ifdef __cplusplus
extern "C" {
#endif

// Called once after the module is loaded; nonzero means "load the filter".
VELL_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer);
// Called for every registered notification; returns an SF_STATUS_TYPE value.
VELL_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                        LPVOID pvNotification);

#ifdef __cplusplus
}
#endif

#endif  // VELL_ISAPI_H_
