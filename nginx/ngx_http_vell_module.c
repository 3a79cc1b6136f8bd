
/*
 * ngx_http_vell_module: hosts the vell filter module (vell.so) inside nginx.
 *
 * The filter is reached only through its exports.  nginx plays the web
 * server's part: it hands the preprocessed request to the filter before a
 * location is chosen, obeys its verdict, lets it change the request target
 * and the response headers, and tells it when a request is logged and when
 * a connection ends.
 */


#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>

#include <vell/isapi.h>


#define NGX_HTTP_VELL_REVISION      0x00040000
#define NGX_HTTP_VELL_BUF_SIZE      65536

#ifndef TRUE
#define TRUE                        1
#define FALSE                       0
#endif


/* the log notification's record, laid out as the filter interface has it */
struct _HTTP_FILTER_LOG {
    const CHAR                      *pszClientHostName;
    const CHAR                      *pszClientUserName;
    const CHAR                      *pszServerName;
    const CHAR                      *pszOperation;
    const CHAR                      *pszTarget;
    const CHAR                      *pszParameters;
    DWORD                            dwHttpStatus;
    DWORD                            dwWin32Status;
    DWORD                            dwBytesSent;
    DWORD                            dwBytesRecvd;
    DWORD                            msTimeForProcessing;
};


typedef BOOL (WINAPI *ngx_http_vell_version_pt)(HTTP_FILTER_VERSION *ver);
typedef DWORD (WINAPI *ngx_http_vell_proc_pt)(HTTP_FILTER_CONTEXT *pfc,
    DWORD type, LPVOID notification);
typedef uint32_t (*ngx_http_vell_last_error_pt)(void);


typedef struct {
    ngx_str_t                        path;
    void                            *handle;
    ngx_http_vell_proc_pt            proc;
    DWORD                            flags;
} ngx_http_vell_main_conf_t;


typedef struct {
    ngx_flag_t                       enable;
    ngx_uint_t                       deny_status;
} ngx_http_vell_loc_conf_t;


/* one per connection that the filter has seen, kept in a pool cleanup */
typedef struct {
    ngx_http_vell_main_conf_t       *vmcf;
    ngx_connection_t                *connection;
    PVOID                            filter_context;
    ngx_str_t                        addr;
    ngx_str_t                        port;
    u_char                           port_text[NGX_INT_T_LEN];
    unsigned                         secure:1;
} ngx_http_vell_session_t;


/* one per request; an internal redirect clears module contexts, the pool
 * cleanup that holds this keeps it */
typedef struct {
    ngx_http_vell_session_t         *session;
    ngx_str_t                        url;
    ngx_str_t                        add_headers;
    unsigned                         inspected:1;
    unsigned                         url_set:1;
} ngx_http_vell_ctx_t;


/* one notification call: the filter gets &call.fc, the callbacks find the
 * call through ServerContext */
typedef struct {
    HTTP_FILTER_CONTEXT              fc;
    HTTP_FILTER_PREPROC_HEADERS      headers;
    ngx_http_request_t              *request;
    ngx_http_vell_ctx_t             *ctx;
    ngx_http_vell_session_t         *session;
    DWORD                            notification;
} ngx_http_vell_call_t;


static ngx_int_t ngx_http_vell_init(ngx_conf_t *cf);
static void *ngx_http_vell_create_main_conf(ngx_conf_t *cf);
static void *ngx_http_vell_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_vell_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static char *ngx_http_vell_filter(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);

static ngx_int_t ngx_http_vell_post_read_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_vell_rewrite_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_vell_phase(ngx_http_request_t *r,
    ngx_uint_t late);
static ngx_int_t ngx_http_vell_log_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_vell_header_filter(ngx_http_request_t *r);
static void ngx_http_vell_session_cleanup(void *data);
static void ngx_http_vell_ctx_cleanup(void *data);


static ngx_conf_num_bounds_t  ngx_http_vell_deny_status_bounds = {
    ngx_conf_check_num_bounds, 300, 599
};


static ngx_command_t  ngx_http_vell_commands[] = {

    { ngx_string("vell_filter"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_http_vell_filter,
      NGX_HTTP_MAIN_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("vell"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_vell_loc_conf_t, enable),
      NULL },

    { ngx_string("vell_deny_status"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_num_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_vell_loc_conf_t, deny_status),
      &ngx_http_vell_deny_status_bounds },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_vell_module_ctx = {
    NULL,                                  /* preconfiguration */
    ngx_http_vell_init,                    /* postconfiguration */

    ngx_http_vell_create_main_conf,        /* create main configuration */
    NULL,                                  /* init main configuration */

    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */

    ngx_http_vell_create_loc_conf,         /* create location configuration */
    ngx_http_vell_merge_loc_conf           /* merge location configuration */
};


ngx_module_t  ngx_http_vell_module = {
    NGX_MODULE_V1,
    &ngx_http_vell_module_ctx,             /* module context */
    ngx_http_vell_commands,                /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


static ngx_http_output_header_filter_pt  ngx_http_next_header_filter;


/* configuration */


static void *
ngx_http_vell_create_main_conf(ngx_conf_t *cf)
{
    ngx_http_vell_main_conf_t  *vmcf;

    vmcf = ngx_pcalloc(cf->pool, sizeof(ngx_http_vell_main_conf_t));
    if (vmcf == NULL) {
        return NULL;
    }

    return vmcf;
}


static void *
ngx_http_vell_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_vell_loc_conf_t  *vlcf;

    vlcf = ngx_pcalloc(cf->pool, sizeof(ngx_http_vell_loc_conf_t));
    if (vlcf == NULL) {
        return NULL;
    }

    vlcf->enable = NGX_CONF_UNSET;
    vlcf->deny_status = NGX_CONF_UNSET_UINT;

    return vlcf;
}


static char *
ngx_http_vell_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_vell_loc_conf_t *prev = parent;
    ngx_http_vell_loc_conf_t *conf = child;

    ngx_http_vell_main_conf_t  *vmcf;

    ngx_conf_merge_value(conf->enable, prev->enable, 0);
    ngx_conf_merge_uint_value(conf->deny_status, prev->deny_status,
                              NGX_HTTP_FORBIDDEN);

    vmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_vell_module);

    if (conf->enable && vmcf->proc == NULL && !vmcf->path.len) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"vell on\" needs a \"vell_filter\" directive "
                           "in the http block");
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}


/*
 * "nginx -s SIGNAL" reads the whole configuration only to find the pid file;
 * loading the filter there would run its start-up (and rotate its audit log)
 * in a process that serves nothing.
 */

static ngx_uint_t
ngx_http_vell_is_signaller(void)
{
    u_char  *p;
    int      i;

    for (i = 1; i < ngx_argc && ngx_argv[i]; i++) {
        p = (u_char *) ngx_argv[i];

        if (*p++ != '-') {
            return 0;
        }

        while (*p) {
            switch (*p++) {

            case 's':
                return 1;

            case 'p':
            case 'e':
            case 'c':
            case 'g':
                if (*p == '\0') {
                    i++;
                }

                goto next;

            default:
                break;
            }
        }

    next:

        continue;
    }

    return 0;
}


static ngx_int_t
ngx_http_vell_copy_file(ngx_conf_t *cf, u_char *from, u_char *to,
    ngx_uint_t optional)
{
    u_char     *buf;
    ssize_t     n, w, off;
    ngx_fd_t    in, out;
    ngx_int_t   rc;

    in = ngx_open_file(from, NGX_FILE_RDONLY, NGX_FILE_OPEN, 0);
    if (in == NGX_INVALID_FILE) {
        if (optional && ngx_errno == NGX_ENOENT) {
            return NGX_DECLINED;
        }

        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           ngx_open_file_n " \"%s\" failed", from);
        return NGX_ERROR;
    }

    out = ngx_open_file(to, NGX_FILE_WRONLY, NGX_FILE_CREATE_OR_OPEN,
                        NGX_FILE_OWNER_ACCESS);
    if (out == NGX_INVALID_FILE) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           ngx_open_file_n " \"%s\" failed", to);
        ngx_close_file(in);
        return NGX_ERROR;
    }

    rc = NGX_ERROR;

    buf = ngx_alloc(NGX_HTTP_VELL_BUF_SIZE, cf->log);
    if (buf == NULL) {
        goto done;
    }

    for ( ;; ) {
        n = read(in, buf, NGX_HTTP_VELL_BUF_SIZE);

        if (n == 0) {
            rc = NGX_OK;
            break;
        }

        if (n == -1) {
            if (ngx_errno == NGX_EINTR) {
                continue;
            }

            ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                               "read() \"%s\" failed", from);
            goto done;
        }

        for (off = 0; off < n; off += w) {
            w = write(out, buf + off, n - off);

            if (w == -1) {
                if (ngx_errno == NGX_EINTR) {
                    w = 0;
                    continue;
                }

                ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                                   "write() \"%s\" failed", to);
                goto done;
            }
        }
    }

done:

    if (buf) {
        ngx_free(buf);
    }

    ngx_close_file(in);
    ngx_close_file(out);

    return rc;
}


static void
ngx_http_vell_unload(void *data)
{
    ngx_http_vell_main_conf_t  *vmcf = data;

    if (vmcf->handle) {
        dlclose(vmcf->handle);
        vmcf->handle = NULL;
        vmcf->proc = NULL;
    }
}


/*
 * The filter starts in the master process, but its audit log is appended to
 * by the workers.  When the master runs as root, the start-up runs with the
 * workers' user and group as effective ids, so that the files it creates (a
 * fresh audit log after moving the earlier one) belong to the workers.
 */

static ngx_int_t
ngx_http_vell_worker_ids(ngx_conf_t *cf, uid_t *uid, gid_t *gid)
{
    struct group     *grp;
    struct passwd    *pwd;
    ngx_core_conf_t  *ccf;

    if (geteuid() != 0) {
        return NGX_DECLINED;
    }

    ccf = (ngx_core_conf_t *) ngx_get_conf(cf->cycle->conf_ctx,
                                           ngx_core_module);

    if (ccf->user != (ngx_uid_t) NGX_CONF_UNSET_UINT) {
        *uid = ccf->user;
        *gid = ccf->group;
        return NGX_OK;
    }

    /* no "user" directive before the http block: the workers' default */

    pwd = getpwnam(NGX_USER);
    grp = getgrnam(NGX_GROUP);

    if (pwd == NULL || grp == NULL) {
        return NGX_DECLINED;
    }

    *uid = pwd->pw_uid;
    *gid = grp->gr_gid;

    return NGX_OK;
}


static BOOL
ngx_http_vell_start(ngx_conf_t *cf, ngx_http_vell_version_pt version,
    HTTP_FILTER_VERSION *ver, ngx_int_t as_worker, uid_t uid, gid_t gid)
{
    BOOL   ok;
    gid_t  egid;

    if (as_worker != NGX_OK) {
        return version(ver);
    }

    egid = getegid();

    if (setegid(gid) == -1) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           "setegid(%d) failed", (int) gid);
        return FALSE;
    }

    if (seteuid(uid) == -1) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           "seteuid(%d) failed", (int) uid);

        if (setegid(egid) == -1) {
            ngx_log_error(NGX_LOG_EMERG, cf->log, ngx_errno,
                          "setegid(%d) failed", (int) egid);
            exit(2);
        }

        return FALSE;
    }

    ok = version(ver);

    if (seteuid(0) == -1 || setegid(egid) == -1) {
        ngx_log_error(NGX_LOG_EMERG, cf->log, ngx_errno,
                      "restoring the master's ids failed");
        exit(2);
    }

    return ok;
}


/*
 * The filter reads config.ini from the folder of the file it was loaded from,
 * and dlopen() of a path already loaded gives back the image already in
 * memory.  So each configuration read loads a fresh private copy of the
 * module, placed next to a copy of the configured folder's config.ini; the
 * copies are removed once the filter has started, the image stays mapped.
 */

static char *
ngx_http_vell_load(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf)
{
    u_char                      *dir, *base, *p, *tmp;
    char                        *rv;
    size_t                       len, dir_len, base_len;
    void                        *handle;
    uid_t                        uid;
    gid_t                        gid;
    ngx_int_t                    rc, as_worker;
    ngx_uint_t                   have_ini;
    u_char                      *copy, *ini_from, *ini_to;
    ngx_pool_cleanup_t          *cln;
    HTTP_FILTER_VERSION          ver;
    ngx_http_vell_version_pt     version;
    ngx_http_vell_proc_pt        proc;

    rv = NGX_CONF_ERROR;
    uid = 0;
    gid = 0;
    handle = NULL;
    copy = NULL;
    ini_to = NULL;
    have_ini = 0;

    p = vmcf->path.data + vmcf->path.len;
    while (p > vmcf->path.data && p[-1] != '/') {
        p--;
    }

    base = p;
    base_len = vmcf->path.data + vmcf->path.len - base;
    dir_len = base - vmcf->path.data;

    if (base_len == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"%V\" names a folder, not a module file",
                           &vmcf->path);
        return NGX_CONF_ERROR;
    }

    tmp = (u_char *) getenv("TMPDIR");
    if (tmp == NULL || *tmp != '/') {
        tmp = (u_char *) "/tmp";
    }

    len = ngx_strlen(tmp) + sizeof("/vell.XXXXXX") + base_len + 1
          + sizeof("config.ini");

    dir = ngx_pnalloc(cf->temp_pool, len);
    copy = ngx_pnalloc(cf->temp_pool, len);
    ini_to = ngx_pnalloc(cf->temp_pool, len);
    ini_from = ngx_pnalloc(cf->temp_pool, dir_len + sizeof("config.ini"));
    if (dir == NULL || copy == NULL || ini_to == NULL || ini_from == NULL) {
        return NGX_CONF_ERROR;
    }

    ngx_sprintf(dir, "%s/vell.XXXXXX%Z", tmp);

    if (mkdtemp((char *) dir) == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           "mkdtemp(\"%s\") failed", dir);
        return NGX_CONF_ERROR;
    }

    ngx_sprintf(copy, "%s/%*s%Z", dir, base_len, base);
    ngx_sprintf(ini_to, "%s/config.ini%Z", dir);
    ngx_sprintf(ini_from, "%*sconfig.ini%Z", dir_len, vmcf->path.data);

    rc = ngx_http_vell_copy_file(cf, vmcf->path.data, copy, 0);
    if (rc != NGX_OK) {
        copy[0] = '\0';
        goto done;
    }

    rc = ngx_http_vell_copy_file(cf, ini_from, ini_to, 1);
    if (rc == NGX_ERROR) {
        goto done;
    }

    have_ini = (rc == NGX_OK);

    as_worker = ngx_http_vell_worker_ids(cf, &uid, &gid);

    if (as_worker == NGX_OK
        && (chown((char *) dir, uid, gid) == -1
            || chown((char *) copy, uid, gid) == -1
            || (have_ini && chown((char *) ini_to, uid, gid) == -1)))
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           "chown(\"%s\") failed", dir);
        goto done;
    }

    handle = dlopen((char *) copy, RTLD_NOW|RTLD_LOCAL);
    if (handle == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "cannot load the vell filter \"%V\": %s",
                           &vmcf->path, dlerror());
        goto done;
    }

    version = (ngx_http_vell_version_pt) dlsym(handle, "GetFilterVersion");
    proc = (ngx_http_vell_proc_pt) dlsym(handle, "HttpFilterProc");

    if (version == NULL || proc == NULL
        || dlsym(handle, "GetLastError") == NULL)
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"%V\" is not a vell filter: it does not export "
                           "GetFilterVersion, HttpFilterProc and GetLastError",
                           &vmcf->path);
        goto done;
    }

    ngx_memzero(&ver, sizeof(HTTP_FILTER_VERSION));
    ver.dwServerFilterVersion = NGX_HTTP_VELL_REVISION;

    if (!ngx_http_vell_start(cf, version, &ver, as_worker, uid, gid)) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "the vell filter \"%V\" refused to start "
                           "(GetFilterVersion() answered false)",
                           &vmcf->path);
        goto done;
    }

    ver.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';

    cln = ngx_pool_cleanup_add(cf->pool, 0);
    if (cln == NULL) {
        goto done;
    }

    vmcf->handle = handle;
    vmcf->proc = proc;
    vmcf->flags = ver.dwFlags;
    cln->handler = ngx_http_vell_unload;
    cln->data = vmcf;
    handle = NULL;

    ngx_log_error(NGX_LOG_INFO, cf->log, 0,
                  "vell filter \"%s\" loaded from \"%V\", flags 0x%xD",
                  ver.lpszFilterDesc, &vmcf->path, vmcf->flags);

    rv = NGX_CONF_OK;

done:

    if (handle) {
        dlclose(handle);
    }

    if (have_ini && ngx_delete_file(ini_to) == NGX_FILE_ERROR) {
        ngx_log_error(NGX_LOG_WARN, cf->log, ngx_errno,
                      ngx_delete_file_n " \"%s\" failed", ini_to);
    }

    if (copy[0] && ngx_delete_file(copy) == NGX_FILE_ERROR) {
        ngx_log_error(NGX_LOG_WARN, cf->log, ngx_errno,
                      ngx_delete_file_n " \"%s\" failed", copy);
    }

    if (ngx_delete_dir(dir) == NGX_FILE_ERROR) {
        ngx_log_error(NGX_LOG_WARN, cf->log, ngx_errno,
                      ngx_delete_dir_n " \"%s\" failed", dir);
    }

    return rv;
}


static char *
ngx_http_vell_filter(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_vell_main_conf_t *vmcf = conf;

    ngx_str_t  *value;

    if (vmcf->path.data) {
        return "is duplicate";
    }

    value = cf->args->elts;
    vmcf->path = value[1];

    if (vmcf->path.len == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "empty module path");
        return NGX_CONF_ERROR;
    }

    if (ngx_conf_full_name(cf->cycle, &vmcf->path, 0) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    if (ngx_http_vell_is_signaller()) {
        return NGX_CONF_OK;
    }

    return ngx_http_vell_load(cf, vmcf);
}


static ngx_int_t
ngx_http_vell_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt        *h;
    ngx_http_core_main_conf_t  *cmcf;
    ngx_http_vell_main_conf_t  *vmcf;

    vmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_vell_module);

    if (vmcf->proc == NULL) {
        return NGX_OK;
    }

    cmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_POST_READ_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vell_post_read_handler;

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_REWRITE_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vell_rewrite_handler;

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_LOG_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vell_log_handler;

    ngx_http_next_header_filter = ngx_http_top_header_filter;
    ngx_http_top_header_filter = ngx_http_vell_header_filter;

    return NGX_OK;
}


/* per-connection and per-request state */


static ngx_http_vell_session_t *
ngx_http_vell_get_session(ngx_connection_t *c,
    ngx_http_vell_main_conf_t *vmcf)
{
    ngx_pool_cleanup_t       *cln;
    ngx_http_vell_session_t  *s;

    for (cln = c->pool->cleanup; cln; cln = cln->next) {
        if (cln->handler == ngx_http_vell_session_cleanup) {
            return cln->data;
        }
    }

    cln = ngx_pool_cleanup_add(c->pool, sizeof(ngx_http_vell_session_t));
    if (cln == NULL) {
        return NULL;
    }

    s = cln->data;
    ngx_memzero(s, sizeof(ngx_http_vell_session_t));

    s->vmcf = vmcf;
    s->connection = c;
    s->addr = c->addr_text;

#if (NGX_HTTP_SSL)
    s->secure = (c->ssl != NULL);
#endif

    if (ngx_connection_local_sockaddr(c, NULL, 0) == NGX_OK) {
        s->port.data = s->port_text;
        s->port.len = ngx_sprintf(s->port_text, "%ui",
                                  (ngx_uint_t) ngx_inet_get_port(
                                      c->local_sockaddr))
                      - s->port_text;
    }

    cln->handler = ngx_http_vell_session_cleanup;

    return s;
}


static ngx_http_vell_ctx_t *
ngx_http_vell_get_ctx(ngx_http_request_t *r, ngx_uint_t create)
{
    ngx_pool_cleanup_t         *cln;
    ngx_http_vell_ctx_t        *ctx;
    ngx_http_vell_main_conf_t  *vmcf;

    r = r->main;

    ctx = ngx_http_get_module_ctx(r, ngx_http_vell_module);
    if (ctx) {
        return ctx;
    }

    for (cln = r->pool->cleanup; cln; cln = cln->next) {
        if (cln->handler == ngx_http_vell_ctx_cleanup) {
            ctx = cln->data;
            ngx_http_set_ctx(r, ctx, ngx_http_vell_module);
            return ctx;
        }
    }

    if (!create) {
        return NULL;
    }

    vmcf = ngx_http_get_module_main_conf(r, ngx_http_vell_module);

    cln = ngx_pool_cleanup_add(r->pool, sizeof(ngx_http_vell_ctx_t));
    if (cln == NULL) {
        return NULL;
    }

    ctx = cln->data;
    ngx_memzero(ctx, sizeof(ngx_http_vell_ctx_t));

    ctx->session = ngx_http_vell_get_session(r->connection, vmcf);
    if (ctx->session == NULL) {
        return NULL;
    }

    ctx->url.len = r->unparsed_uri.len;
    ctx->url.data = ngx_pstrdup(r->pool, &r->unparsed_uri);
    if (ctx->url.data == NULL && ctx->url.len) {
        return NULL;
    }

    cln->handler = ngx_http_vell_ctx_cleanup;
    ngx_http_set_ctx(r, ctx, ngx_http_vell_module);

    return ctx;
}


static void
ngx_http_vell_ctx_cleanup(void *data)
{
    ngx_http_vell_ctx_t  *ctx = data;

    ctx->session = NULL;
}


/* answers to the filter's reads */


static BOOL
ngx_http_vell_answer(ngx_str_t *value, LPVOID buf, LPDWORD size)
{
    if (value->len >= 0xffffffff) {
        return FALSE;
    }

    if (buf == NULL || *size < value->len + 1) {
        *size = (DWORD) value->len + 1;
        return FALSE;
    }

    ngx_memcpy(buf, value->data, value->len);
    ((u_char *) buf)[value->len] = '\0';
    *size = (DWORD) value->len + 1;

    return TRUE;
}


/*
 * Writes (dst != NULL) or measures (dst == NULL) the values of the headers
 * called name, joined by ", ".  With var set, name is in server variable
 * form: capitals, "_" for "-".  Returns NGX_DECLINED when there is none.
 */

static ssize_t
ngx_http_vell_find_headers(ngx_list_t *list, u_char *name, size_t len,
    ngx_uint_t var, u_char *dst)
{
    size_t            n, i, k;
    u_char            c;
    ngx_uint_t        found;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    n = 0;
    found = 0;

    for (part = &list->part; part; part = part->next) {
        h = part->elts;

        for (i = 0; i < part->nelts; i++) {
            if (h[i].hash == 0 || h[i].key.len != len) {
                continue;
            }

            for (k = 0; k < len; k++) {
                c = h[i].key.data[k];

                if (var && c == '-') {
                    c = '_';
                }

                if (ngx_toupper(c) != ngx_toupper(name[k])) {
                    break;
                }
            }

            if (k < len) {
                continue;
            }

            if (found) {
                if (dst) {
                    dst = ngx_cpymem(dst, ", ", 2);
                }

                n += 2;
            }

            if (dst) {
                dst = ngx_cpymem(dst, h[i].value.data, h[i].value.len);
            }

            n += h[i].value.len;
            found = 1;
        }
    }

    return found ? (ssize_t) n : NGX_DECLINED;
}


/*
 * "ALL_HTTP": every request header as HTTP_NAME:value and a line feed;
 * "ALL_RAW": as the client sent them, Name: value and CR LF.
 */

static size_t
ngx_http_vell_all_headers(ngx_http_request_t *r, ngx_uint_t raw, u_char *dst)
{
    size_t            n, i, k;
    u_char            c;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    n = 0;

    for (part = &r->headers_in.headers.part; part; part = part->next) {
        h = part->elts;

        for (i = 0; i < part->nelts; i++) {
            if (h[i].hash == 0) {
                continue;
            }

            if (raw) {
                n += h[i].key.len + 2 + h[i].value.len + 2;

                if (dst) {
                    dst = ngx_cpymem(dst, h[i].key.data, h[i].key.len);
                    *dst++ = ':'; *dst++ = ' ';
                    dst = ngx_cpymem(dst, h[i].value.data, h[i].value.len);
                    *dst++ = CR; *dst++ = LF;
                }

                continue;
            }

            n += sizeof("HTTP_") - 1 + h[i].key.len + 1 + h[i].value.len + 1;

            if (dst) {
                dst = ngx_cpymem(dst, "HTTP_", sizeof("HTTP_") - 1);

                for (k = 0; k < h[i].key.len; k++) {
                    c = h[i].key.data[k];
                    *dst++ = (c == '-') ? '_' : ngx_toupper(c);
                }

                *dst++ = ':';
                dst = ngx_cpymem(dst, h[i].value.data, h[i].value.len);
                *dst++ = LF;
            }
        }
    }

    return n;
}


/* a value built in place: measured first, then written straight into buf */

/* with a list: the headers called name (var: in variable form); without:
 * every request header, "ALL_RAW" style when var is set */

static BOOL
ngx_http_vell_answer_built(ngx_http_request_t *r, u_char *name, size_t len,
    ngx_list_t *list, ngx_uint_t var, LPVOID buf, LPDWORD size)
{
    ssize_t  n;

    if (list) {
        n = ngx_http_vell_find_headers(list, name, len, var, NULL);
        if (n == NGX_DECLINED) {
            return FALSE;
        }

    } else {
        n = ngx_http_vell_all_headers(r, var, NULL);
    }

    if ((size_t) n >= 0xffffffff) {
        return FALSE;
    }

    if (buf == NULL || *size < (size_t) n + 1) {
        *size = (DWORD) n + 1;
        return FALSE;
    }

    if (list) {
        (void) ngx_http_vell_find_headers(list, name, len, var, buf);

    } else {
        (void) ngx_http_vell_all_headers(r, var, buf);
    }

    ((u_char *) buf)[n] = '\0';
    *size = (DWORD) n + 1;

    return TRUE;
}


#define ngx_http_vell_is(name, len, text)                                     \
    ((len) == sizeof(text) - 1 && ngx_strncmp(name, text, len) == 0)


static BOOL WINAPI
ngx_http_vell_get_server_variable(HTTP_FILTER_CONTEXT *pfc, LPSTR var,
    LPVOID buf, LPDWORD size)
{
    u_char                    *name, text[NGX_INT_T_LEN];
    size_t                     len;
    ngx_str_t                  value;
    ngx_connection_t          *c;
    ngx_http_request_t        *r;
    ngx_http_vell_call_t      *call;
    ngx_http_vell_session_t   *s;
    ngx_http_core_srv_conf_t  *cscf;

    if (pfc == NULL || pfc->ServerContext == NULL || var == NULL
        || size == NULL)
    {
        return FALSE;
    }

    call = pfc->ServerContext;
    r = call->request;
    s = call->session;
    c = s->connection;
    name = (u_char *) var;
    len = ngx_strlen(name);

    /* what is known of the connection alone, also once it has closed */

    if (ngx_http_vell_is(name, len, "REMOTE_ADDR")
        || ngx_http_vell_is(name, len, "REMOTE_HOST"))
    {
        return ngx_http_vell_answer(&s->addr, buf, size);
    }

    if (ngx_http_vell_is(name, len, "SERVER_PORT")) {
        return ngx_http_vell_answer(&s->port, buf, size);
    }

    if (ngx_http_vell_is(name, len, "HTTPS")) {
        if (s->secure) {
            ngx_str_set(&value, "on");

        } else {
            ngx_str_set(&value, "off");
        }

        return ngx_http_vell_answer(&value, buf, size);
    }

    if (r == NULL) {
        return FALSE;
    }

    if (ngx_http_vell_is(name, len, "SERVER_NAME")) {
        if (r->headers_in.server.len) {
            return ngx_http_vell_answer(&r->headers_in.server, buf, size);
        }

        cscf = ngx_http_get_module_srv_conf(r, ngx_http_core_module);
        return ngx_http_vell_answer(&cscf->server_name, buf, size);
    }

    if (ngx_http_vell_is(name, len, "REQUEST_METHOD")) {
        return ngx_http_vell_answer(&r->method_name, buf, size);
    }

    if (ngx_http_vell_is(name, len, "URL")) {
        return ngx_http_vell_answer(&r->uri, buf, size);
    }

    if (ngx_http_vell_is(name, len, "QUERY_STRING")) {
        return ngx_http_vell_answer(&r->args, buf, size);
    }

    if (ngx_http_vell_is(name, len, "SERVER_PROTOCOL")) {
        return ngx_http_vell_answer(&r->http_protocol, buf, size);
    }

    if (ngx_http_vell_is(name, len, "REMOTE_PORT")) {
        value.data = text;
        value.len = ngx_sprintf(text, "%ui",
                                (ngx_uint_t) ngx_inet_get_port(c->sockaddr))
                    - text;
        return ngx_http_vell_answer(&value, buf, size);
    }

    if (ngx_http_vell_is(name, len, "ALL_HTTP")) {
        return ngx_http_vell_answer_built(r, NULL, 0, NULL, 0, buf, size);
    }

    if (ngx_http_vell_is(name, len, "ALL_RAW")) {
        return ngx_http_vell_answer_built(r, NULL, 0, NULL, 1, buf, size);
    }

    if (len > sizeof("HTTP_") - 1
        && ngx_strncmp(name, "HTTP_", sizeof("HTTP_") - 1) == 0)
    {
        return ngx_http_vell_answer_built(r, name + sizeof("HTTP_") - 1,
                                          len - (sizeof("HTTP_") - 1),
                                          &r->headers_in.headers, 1,
                                          buf, size);
    }

    return FALSE;
}


/* the header name as the filter writes it, without its trailing colon */

static size_t
ngx_http_vell_header_name(u_char *name)
{
    size_t  len;

    len = ngx_strlen(name);

    if (len && name[len - 1] == ':') {
        len--;
    }

    return len;
}


static BOOL WINAPI
ngx_http_vell_get_header(HTTP_FILTER_CONTEXT *pfc, LPSTR header, LPVOID buf,
    LPDWORD size)
{
    u_char                *name, text[NGX_INT_T_LEN];
    size_t                 len;
    ngx_str_t              value;
    ngx_table_elt_t       *h;
    ngx_http_request_t    *r;
    ngx_http_vell_call_t  *call;

    if (pfc == NULL || pfc->ServerContext == NULL || header == NULL
        || size == NULL)
    {
        return FALSE;
    }

    call = pfc->ServerContext;
    r = call->request;
    name = (u_char *) header;
    len = ngx_http_vell_header_name(name);

    if (r == NULL) {
        return FALSE;
    }

    if (call->notification == SF_NOTIFY_PREPROC_HEADERS) {

        if (len == 3 && ngx_strncasecmp(name, (u_char *) "url", 3) == 0) {
            return ngx_http_vell_answer(&call->ctx->url, buf, size);
        }

        if (len == 6 && ngx_strncasecmp(name, (u_char *) "method", 6) == 0) {
            return ngx_http_vell_answer(&r->method_name, buf, size);
        }

        if (len == 7 && ngx_strncasecmp(name, (u_char *) "version", 7) == 0)
        {
            return ngx_http_vell_answer(&r->http_protocol, buf, size);
        }

        return ngx_http_vell_answer_built(r, name, len,
                                          &r->headers_in.headers, 0,
                                          buf, size);
    }

    if (len == 6 && ngx_strncasecmp(name, (u_char *) "status", 6) == 0) {
        value.data = text;
        value.len = ngx_sprintf(text, "%ui", r->headers_out.status) - text;
        return ngx_http_vell_answer(&value, buf, size);
    }

    if (len == 6 && ngx_strncasecmp(name, (u_char *) "server", 6) == 0) {
        h = r->headers_out.server;

        if (h == NULL || h->hash == 0) {
            return FALSE;
        }

        return ngx_http_vell_answer(&h->value, buf, size);
    }

    return ngx_http_vell_answer_built(r, name, len, &r->headers_out.headers, 0,
                                      buf, size);
}


/* changes the filter makes to request and response headers */


static ngx_table_elt_t *
ngx_http_vell_push_header(ngx_http_request_t *r, ngx_list_t *list,
    u_char *name, size_t len, ngx_str_t *value)
{
    ngx_table_elt_t  *h;

    h = ngx_list_push(list);
    if (h == NULL) {
        return NULL;
    }

    h->key.data = ngx_pnalloc(r->pool, len + 1);
    h->lowcase_key = ngx_pnalloc(r->pool, len + 1);
    if (h->key.data == NULL || h->lowcase_key == NULL) {
        h->hash = 0;
        return NULL;
    }

    ngx_memcpy(h->key.data, name, len);
    h->key.data[len] = '\0';
    h->key.len = len;
    ngx_strlow(h->lowcase_key, name, len);
    h->lowcase_key[len] = '\0';
    h->value = *value;
    h->hash = ngx_hash_key(h->lowcase_key, len);

    if (h->hash == 0) {
        h->hash = 1;
    }

    return h;
}


static ngx_table_elt_t *
ngx_http_vell_first_header(ngx_list_t *list, u_char *name, size_t len)
{
    ngx_uint_t        i;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    for (part = &list->part; part; part = part->next) {
        h = part->elts;

        for (i = 0; i < part->nelts; i++) {
            if (h[i].hash != 0 && h[i].key.len == len
                && ngx_strncasecmp(h[i].key.data, name, len) == 0)
            {
                return &h[i];
            }
        }
    }

    return NULL;
}


static BOOL
ngx_http_vell_change_header(ngx_http_vell_call_t *call, u_char *name,
    LPSTR text, ngx_uint_t add)
{
    size_t               len;
    ngx_str_t            value;
    ngx_list_t          *list;
    ngx_table_elt_t     *h;
    ngx_http_request_t  *r;

    r = call->request;
    len = ngx_http_vell_header_name(name);

    if (r == NULL || len == 0) {
        return FALSE;
    }

    value.len = ngx_strlen(text);
    value.data = ngx_pnalloc(r->pool, value.len + 1);
    if (value.data == NULL) {
        return FALSE;
    }

    ngx_memcpy(value.data, text, value.len + 1);

    if (call->notification == SF_NOTIFY_PREPROC_HEADERS) {

        if (!add && len == 3
            && ngx_strncasecmp(name, (u_char *) "url", 3) == 0)
        {
            call->ctx->url = value;
            call->ctx->url_set = 1;
            return TRUE;
        }

        list = &r->headers_in.headers;

    } else {

        if (len == 6 && ngx_strncasecmp(name, (u_char *) "server", 6) == 0) {
            h = r->headers_out.server;

            if (h == NULL) {
                h = ngx_http_vell_push_header(r, &r->headers_out.headers,
                                              (u_char *) "Server", 6, &value);
                if (h == NULL) {
                    return FALSE;
                }

                r->headers_out.server = h;

            } else {
                h->value = value;
                h->hash = 1;
            }

            /* an empty value leaves the response without a Server header */

            if (value.len == 0) {
                h->hash = 0;
            }

            return TRUE;
        }

        list = &r->headers_out.headers;
    }

    h = add ? NULL : ngx_http_vell_first_header(list, name, len);

    if (h) {
        h->value = value;

        if (value.len == 0 && list == &r->headers_out.headers) {
            h->hash = 0;
        }

        return TRUE;
    }

    if (value.len == 0 && !add && list == &r->headers_out.headers) {
        return TRUE;
    }

    return ngx_http_vell_push_header(r, list, name, len, &value) ? TRUE
                                                                  : FALSE;
}


static BOOL WINAPI
ngx_http_vell_set_header(HTTP_FILTER_CONTEXT *pfc, LPSTR name, LPSTR value)
{
    if (pfc == NULL || pfc->ServerContext == NULL || name == NULL
        || value == NULL)
    {
        return FALSE;
    }

    return ngx_http_vell_change_header(pfc->ServerContext, (u_char *) name,
                                       value, 0);
}


static BOOL WINAPI
ngx_http_vell_add_header(HTTP_FILTER_CONTEXT *pfc, LPSTR name, LPSTR value)
{
    if (pfc == NULL || pfc->ServerContext == NULL || name == NULL
        || value == NULL)
    {
        return FALSE;
    }

    return ngx_http_vell_change_header(pfc->ServerContext, (u_char *) name,
                                       value, 1);
}


/* "Name: value" lines, CR LF or LF ended, added to the response headers */

static void
ngx_http_vell_add_response_lines(ngx_http_request_t *r, ngx_str_t *lines)
{
    u_char     *p, *end, *eol, *colon, *v, *ve;
    ngx_str_t   value;

    p = lines->data;
    end = p + lines->len;

    while (p < end) {
        eol = ngx_strlchr(p, end, LF);
        if (eol == NULL) {
            eol = end;
        }

        ve = eol;
        if (ve > p && ve[-1] == CR) {
            ve--;
        }

        colon = ngx_strlchr(p, ve, ':');

        if (colon && colon > p) {
            v = colon + 1;
            while (v < ve && (*v == ' ' || *v == '\t')) {
                v++;
            }

            value.data = v;
            value.len = ve - v;

            (void) ngx_http_vell_push_header(r, &r->headers_out.headers, p,
                                             colon - p, &value);
        }

        p = eol + 1;
    }
}


static BOOL WINAPI
ngx_http_vell_add_response_headers(HTTP_FILTER_CONTEXT *pfc, LPSTR headers,
    DWORD reserved)
{
    u_char                *p;
    size_t                 len;
    ngx_str_t              lines;
    ngx_http_request_t    *r;
    ngx_http_vell_call_t  *call;

    if (pfc == NULL || pfc->ServerContext == NULL || headers == NULL) {
        return FALSE;
    }

    call = pfc->ServerContext;
    r = call->request;

    if (r == NULL || call->ctx == NULL) {
        return FALSE;
    }

    len = ngx_strlen(headers);

    /* kept until the response headers are built */

    p = ngx_pnalloc(r->pool, call->ctx->add_headers.len + len);
    if (p == NULL) {
        return FALSE;
    }

    lines.data = p;
    p = ngx_cpymem(p, call->ctx->add_headers.data, call->ctx->add_headers.len);
    p = ngx_cpymem(p, headers, len);
    lines.len = p - lines.data;

    if (call->notification == SF_NOTIFY_SEND_RESPONSE) {
        lines.data += call->ctx->add_headers.len;
        lines.len = len;
        ngx_http_vell_add_response_lines(r, &lines);
        return TRUE;
    }

    call->ctx->add_headers = lines;

    return TRUE;
}


static BOOL WINAPI
ngx_http_vell_write_client(HTTP_FILTER_CONTEXT *pfc, LPVOID buf,
    LPDWORD bytes, DWORD reserved)
{
    return FALSE;
}


static LPVOID WINAPI
ngx_http_vell_alloc_mem(HTTP_FILTER_CONTEXT *pfc, DWORD size, DWORD reserved)
{
    ngx_http_vell_call_t  *call;

    if (pfc == NULL || pfc->ServerContext == NULL) {
        return NULL;
    }

    call = pfc->ServerContext;

    /* memory lives as long as the connection; none once it is closing */

    if (call->request == NULL) {
        return NULL;
    }

    return ngx_pcalloc(call->session->connection->pool, size ? size : 1);
}


static BOOL WINAPI
ngx_http_vell_server_support_function(HTTP_FILTER_CONTEXT *pfc,
    enum SF_REQ_TYPE type, PVOID data, ULONG_PTR ul1, ULONG_PTR ul2)
{
    return FALSE;
}


/* calling the filter */


static ngx_uint_t
ngx_http_vell_wants(ngx_http_vell_main_conf_t *vmcf,
    ngx_http_vell_session_t *s, DWORD notification)
{
    DWORD  port;

    if (vmcf->proc == NULL) {
        return 0;
    }

    port = s->secure ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT;

    return (vmcf->flags & port) && (vmcf->flags & notification);
}


static DWORD
ngx_http_vell_call(ngx_http_vell_main_conf_t *vmcf, ngx_http_request_t *r,
    ngx_http_vell_ctx_t *ctx, ngx_http_vell_session_t *s,
    DWORD notification, void *record, ngx_http_vell_call_t *call)
{
    DWORD  rc;

    call->request = r;
    call->ctx = ctx;
    call->session = s;
    call->notification = notification;

    call->fc.cbSize = sizeof(HTTP_FILTER_CONTEXT);
    call->fc.Revision = NGX_HTTP_VELL_REVISION;
    call->fc.ServerContext = call;
    call->fc.ulReserved = 0;
    call->fc.fIsSecurePort = s->secure;
    call->fc.pFilterContext = s->filter_context;
    call->fc.GetServerVariable = ngx_http_vell_get_server_variable;
    call->fc.AddResponseHeaders = ngx_http_vell_add_response_headers;
    call->fc.WriteClient = ngx_http_vell_write_client;
    call->fc.AllocMem = ngx_http_vell_alloc_mem;
    call->fc.ServerSupportFunction = ngx_http_vell_server_support_function;

    call->headers.GetHeader = ngx_http_vell_get_header;
    call->headers.SetHeader = ngx_http_vell_set_header;
    call->headers.AddHeader = ngx_http_vell_add_header;

    rc = vmcf->proc(&call->fc, notification, record);

    s->filter_context = call->fc.pFilterContext;

    return rc;
}


/*
 * The target the filter set, parsed and decoded as nginx parses a request
 * line: path into r->uri (percent-decoding, dot segments, merged slashes),
 * the query as it stands into r->args.
 */

static ngx_int_t
ngx_http_vell_set_target(ngx_http_request_t *r, ngx_str_t *target)
{
    u_char                    *path, *q, *uri_start, *uri_end, *args_start;
    u_char                    *uri_ext;
    size_t                     len;
    ngx_int_t                  rc;
    ngx_uint_t                 empty_path;
    ngx_http_core_srv_conf_t  *cscf;

    if (target->len == 0 || target->data[0] != '/') {
        return NGX_ERROR;
    }

    q = ngx_strlchr(target->data, target->data + target->len, '?');
    len = (q ? q : target->data + target->len) - target->data;

    /* the parser looks one byte past the end of the path */

    path = ngx_pnalloc(r->pool, len + 1);
    if (path == NULL) {
        return NGX_ERROR;
    }

    ngx_memcpy(path, target->data, len);
    path[len] = '\0';

    r->uri.data = ngx_pnalloc(r->pool, len + 1);
    if (r->uri.data == NULL) {
        return NGX_ERROR;
    }

    uri_start = r->uri_start;
    uri_end = r->uri_end;
    args_start = r->args_start;
    uri_ext = r->uri_ext;
    empty_path = r->empty_path_in_uri;

    r->uri_start = path;
    r->uri_end = path + len;
    r->args_start = NULL;
    r->empty_path_in_uri = 0;

    cscf = ngx_http_get_module_srv_conf(r, ngx_http_core_module);

    rc = ngx_http_parse_complex_uri(r, cscf->merge_slashes);

    r->uri_start = uri_start;
    r->uri_end = uri_end;
    r->args_start = args_start;
    r->uri_ext = uri_ext;
    r->empty_path_in_uri = empty_path;

    if (rc != NGX_OK || r->uri.len == 0
        || ngx_strlchr(r->uri.data, r->uri.data + r->uri.len, '\0'))
    {
        r->uri.len = 0;
        return NGX_ERROR;
    }

    if (q) {
        r->args.data = q + 1;
        r->args.len = target->data + target->len - (q + 1);

    } else {
        ngx_str_null(&r->args);
    }

    r->valid_unparsed_uri = 0;
    ngx_http_set_exten(r);

    return NGX_OK;
}


static ngx_int_t
ngx_http_vell_inspect(ngx_http_request_t *r, ngx_http_vell_ctx_t *ctx,
    ngx_uint_t late)
{
    DWORD                       rc;
    ngx_http_vell_call_t        call;
    ngx_http_vell_loc_conf_t   *vlcf;
    ngx_http_vell_main_conf_t  *vmcf;

    ctx->inspected = 1;

    vmcf = ngx_http_get_module_main_conf(r, ngx_http_vell_module);

    if (!ngx_http_vell_wants(vmcf, ctx->session, SF_NOTIFY_PREPROC_HEADERS)) {
        return NGX_DECLINED;
    }

    ngx_memzero(&call, sizeof(ngx_http_vell_call_t));

    rc = ngx_http_vell_call(vmcf, r, ctx, ctx->session,
                            SF_NOTIFY_PREPROC_HEADERS, &call.headers, &call);

    switch (rc) {

    case SF_STATUS_REQ_ERROR:
        vlcf = ngx_http_get_module_loc_conf(r, ngx_http_vell_module);

        ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                      "vell: request refused");

        return vlcf->deny_status;

    case SF_STATUS_REQ_FINISHED:
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:

        /* the filter answered the client itself, which it cannot do here */

        return NGX_HTTP_CLOSE;

    default:
        break;
    }

    if (!ctx->url_set) {
        return NGX_DECLINED;
    }

    ctx->url_set = 0;

    if (ngx_http_vell_set_target(r, &ctx->url) != NGX_OK) {
        ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                      "vell: the filter set an invalid target \"%V\"",
                      &ctx->url);
        return NGX_HTTP_BAD_REQUEST;
    }

    ngx_log_debug2(NGX_LOG_DEBUG_HTTP, r->connection->log, 0,
                   "vell: new target \"%V?%V\"", &r->uri, &r->args);

    if (late) {
        /* the location is looked up again for the new URI */
        r->uri_changed = 1;
    }

    return NGX_DECLINED;
}


/*
 * Before a location is chosen, r->loc_conf is the server's own, so the
 * server's "vell" decides here.
 */

static ngx_int_t
ngx_http_vell_post_read_handler(ngx_http_request_t *r)
{
    return ngx_http_vell_phase(r, 0);
}


/* "vell on" in a location of a server without it: inspected once there */

static ngx_int_t
ngx_http_vell_rewrite_handler(ngx_http_request_t *r)
{
    return ngx_http_vell_phase(r, 1);
}


/* Both phases: the main request, once, where "vell" is on */

static ngx_int_t
ngx_http_vell_phase(ngx_http_request_t *r, ngx_uint_t late)
{
    ngx_http_vell_ctx_t       *ctx;
    ngx_http_vell_loc_conf_t  *vlcf;

    if (r != r->main) {
        return NGX_DECLINED;
    }

    vlcf = ngx_http_get_module_loc_conf(r, ngx_http_vell_module);

    if (!vlcf->enable) {
        return NGX_DECLINED;
    }

    ctx = ngx_http_vell_get_ctx(r, 1);
    if (ctx == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ctx->inspected) {
        return NGX_DECLINED;
    }

    return ngx_http_vell_inspect(r, ctx, late);
}


static ngx_int_t
ngx_http_vell_header_filter(ngx_http_request_t *r)
{
    ngx_http_vell_ctx_t        *ctx;
    ngx_http_vell_call_t        call;
    ngx_http_vell_loc_conf_t   *vlcf;
    ngx_http_vell_main_conf_t  *vmcf;

    if (r != r->main) {
        return ngx_http_next_header_filter(r);
    }

    ctx = ngx_http_vell_get_ctx(r, 0);

    if (ctx == NULL) {
        vlcf = ngx_http_get_module_loc_conf(r, ngx_http_vell_module);

        if (!vlcf->enable) {
            return ngx_http_next_header_filter(r);
        }

        ctx = ngx_http_vell_get_ctx(r, 1);
        if (ctx == NULL) {
            return NGX_ERROR;
        }
    }

    if (ctx->add_headers.len) {
        ngx_http_vell_add_response_lines(r, &ctx->add_headers);
        ngx_str_null(&ctx->add_headers);
    }

    vmcf = ngx_http_get_module_main_conf(r, ngx_http_vell_module);

    if (ngx_http_vell_wants(vmcf, ctx->session, SF_NOTIFY_SEND_RESPONSE)) {
        ngx_memzero(&call, sizeof(ngx_http_vell_call_t));
        call.headers.HttpStatus = (DWORD) r->headers_out.status;

        (void) ngx_http_vell_call(vmcf, r, ctx, ctx->session,
                                  SF_NOTIFY_SEND_RESPONSE, &call.headers,
                                  &call);
    }

    return ngx_http_next_header_filter(r);
}


static const CHAR *
ngx_http_vell_cstr(ngx_pool_t *pool, ngx_str_t *s)
{
    u_char  *p;

    p = ngx_pnalloc(pool, s->len + 1);
    if (p == NULL) {
        return "";
    }

    ngx_memcpy(p, s->data, s->len);
    p[s->len] = '\0';

    return (const CHAR *) p;
}


static ngx_int_t
ngx_http_vell_log_handler(ngx_http_request_t *r)
{
    ngx_msec_int_t              ms;
    ngx_time_t                 *tp;
    ngx_http_vell_ctx_t        *ctx;
    ngx_http_vell_call_t        call;
    HTTP_FILTER_LOG             log;
    ngx_http_core_srv_conf_t   *cscf;
    ngx_http_vell_main_conf_t  *vmcf;

    ctx = ngx_http_vell_get_ctx(r, 0);
    if (ctx == NULL || ctx->session == NULL) {
        return NGX_OK;
    }

    vmcf = ngx_http_get_module_main_conf(r, ngx_http_vell_module);

    if (!ngx_http_vell_wants(vmcf, ctx->session, SF_NOTIFY_LOG)) {
        return NGX_OK;
    }

    cscf = ngx_http_get_module_srv_conf(r, ngx_http_core_module);

    tp = ngx_timeofday();
    ms = (ngx_msec_int_t) ((tp->sec - r->start_sec) * 1000
                           + (tp->msec - r->start_msec));

    ngx_memzero(&log, sizeof(HTTP_FILTER_LOG));

    log.pszClientHostName = ngx_http_vell_cstr(r->pool,
                                               &r->connection->addr_text);
    log.pszClientUserName = ngx_http_vell_cstr(r->pool,
                                               &r->headers_in.user);
    log.pszServerName = ngx_http_vell_cstr(r->pool,
                                           r->headers_in.server.len
                                           ? &r->headers_in.server
                                           : &cscf->server_name);
    log.pszOperation = ngx_http_vell_cstr(r->pool, &r->method_name);
    log.pszTarget = ngx_http_vell_cstr(r->pool, &r->uri);
    log.pszParameters = ngx_http_vell_cstr(r->pool, &r->args);
    log.dwHttpStatus = (DWORD) r->headers_out.status;
    log.dwBytesSent = (DWORD) r->connection->sent;
    log.dwBytesRecvd = (DWORD) r->request_length;
    log.msTimeForProcessing = (DWORD) ngx_max(ms, 0);

    ngx_memzero(&call, sizeof(ngx_http_vell_call_t));

    (void) ngx_http_vell_call(vmcf, r, ctx, ctx->session, SF_NOTIFY_LOG, &log,
                              &call);

    return NGX_OK;
}


static void
ngx_http_vell_session_cleanup(void *data)
{
    ngx_http_vell_session_t  *s = data;

    ngx_http_vell_call_t  call;

    if (!ngx_http_vell_wants(s->vmcf, s, SF_NOTIFY_END_OF_NET_SESSION)) {
        return;
    }

    ngx_memzero(&call, sizeof(ngx_http_vell_call_t));

    (void) ngx_http_vell_call(s->vmcf, NULL, NULL, s,
                              SF_NOTIFY_END_OF_NET_SESSION, NULL, &call);
}
