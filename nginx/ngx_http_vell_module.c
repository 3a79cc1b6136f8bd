
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

#include <dirent.h>
#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <sys/statvfs.h>

#include <vell/vell.h>


#define NGX_HTTP_VELL_REVISION      0x00040000
#define NGX_HTTP_VELL_BUF_SIZE      65536

#define NGX_HTTP_VELL_REFUSE        0
#define NGX_HTTP_VELL_WARN          1

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
typedef void (WINAPI *ngx_http_vell_options_pt)(DWORD options);
typedef BOOL (WINAPI *ngx_http_vell_report_pt)(VELL_LOAD_REPORT *report);
typedef BOOL (WINAPI *ngx_http_vell_reopen_pt)(void);
typedef const char *(WINAPI *ngx_http_vell_text_pt)(void);
typedef DWORD (WINAPI *ngx_http_vell_mask_pt)(void);


typedef struct {
    ngx_str_t                        path;
    ngx_str_t                        conf_file;
    ngx_uint_t                       conf_line;
    ngx_uint_t                       config_errors;
    ngx_uint_t                       used;         /* "vell on" somewhere */

    void                            *handle;
    ngx_http_vell_proc_pt            proc;
    ngx_http_vell_reopen_pt          reopen;
    ngx_http_vell_text_pt            deciding_rule;
    DWORD                            flags;

    ngx_int_t                        as_worker;
    uid_t                            uid;
    gid_t                            gid;
} ngx_http_vell_main_conf_t;


typedef struct {
    ngx_flag_t                       enable;
    ngx_uint_t                       deny_status;
    ngx_uint_t                       deny_log_level;
} ngx_http_vell_loc_conf_t;


/*
 * What the filter knows as one network session: a client connection, or on
 * HTTP/2 one stream.  It lives in the pool of either, kept by a pool cleanup,
 * and holds copies, never pointers into the connection: nginx reuses the
 * fake connection of an HTTP/2 stream for the next stream.
 */
typedef struct {
    ngx_http_vell_main_conf_t       *vmcf;
    ngx_pool_t                      *pool;
    PVOID                            filter_context;
    ngx_str_t                        addr;
    ngx_str_t                        port;
    u_char                           addr_text[NGX_SOCKADDR_STRLEN];
    u_char                           port_text[NGX_INT_T_LEN];
    unsigned                         secure:1;
} ngx_http_vell_session_t;


/* one per request; an internal redirect clears module contexts, the pool
 * cleanup that holds this keeps it */
typedef struct {
    ngx_http_vell_session_t         *session;
    ngx_str_t                        url;
    ngx_str_t                        add_headers;
    ngx_str_t                        all_http;
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
static ngx_int_t ngx_http_vell_init_module(ngx_cycle_t *cycle);
static void *ngx_http_vell_create_main_conf(ngx_conf_t *cf);
static char *ngx_http_vell_init_main_conf(ngx_conf_t *cf, void *conf);
static void *ngx_http_vell_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_vell_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static char *ngx_http_vell_filter(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);

static ngx_int_t ngx_http_vell_server_rewrite_handler(ngx_http_request_t *r);
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


static ngx_conf_enum_t  ngx_http_vell_config_errors[] = {
    { ngx_string("refuse"), NGX_HTTP_VELL_REFUSE },
    { ngx_string("warn"), NGX_HTTP_VELL_WARN },
    { ngx_null_string, 0 }
};


static ngx_conf_enum_t  ngx_http_vell_log_levels[] = {
    { ngx_string("info"), NGX_LOG_INFO },
    { ngx_string("notice"), NGX_LOG_NOTICE },
    { ngx_string("warn"), NGX_LOG_WARN },
    { ngx_string("error"), NGX_LOG_ERR },
    { ngx_null_string, 0 }
};


static ngx_command_t  ngx_http_vell_commands[] = {

    { ngx_string("vell_filter"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_http_vell_filter,
      NGX_HTTP_MAIN_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("vell_config_errors"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_enum_slot,
      NGX_HTTP_MAIN_CONF_OFFSET,
      offsetof(ngx_http_vell_main_conf_t, config_errors),
      &ngx_http_vell_config_errors },

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

    { ngx_string("vell_deny_log_level"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_enum_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_vell_loc_conf_t, deny_log_level),
      &ngx_http_vell_log_levels },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_vell_module_ctx = {
    NULL,                                  /* preconfiguration */
    ngx_http_vell_init,                    /* postconfiguration */

    ngx_http_vell_create_main_conf,        /* create main configuration */
    ngx_http_vell_init_main_conf,          /* init main configuration */

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
    ngx_http_vell_init_module,             /* init module */
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

    vmcf->config_errors = NGX_CONF_UNSET_UINT;

    return vmcf;
}


static char *
ngx_http_vell_init_main_conf(ngx_conf_t *cf, void *conf)
{
    ngx_http_vell_main_conf_t *vmcf = conf;

    ngx_conf_init_uint_value(vmcf->config_errors, NGX_HTTP_VELL_REFUSE);

    return NGX_CONF_OK;
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
    vlcf->deny_log_level = NGX_CONF_UNSET_UINT;

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
    ngx_conf_merge_uint_value(conf->deny_log_level, prev->deny_log_level,
                              NGX_LOG_INFO);

    if (!conf->enable) {
        return NGX_CONF_OK;
    }

    vmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_vell_module);

    vmcf->used = 1;

#ifndef NGX_HTTP_VELL_FILTER_PATH
    if (vmcf->path.len == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"vell on\" needs a \"vell_filter\" directive "
                           "in the http block");
        return NGX_CONF_ERROR;
    }
#endif

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


/*
 * Messages about loading the filter name the "vell_filter" line that asked
 * for it; the load itself runs once the whole http block has been read.
 */

static void ngx_cdecl
ngx_http_vell_log_load(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf,
    ngx_uint_t level, ngx_err_t err, const char *fmt, ...)
{
    u_char   text[2 * VELL_LOAD_TEXT_SIZE + 2048], *p, *last;
    va_list  args;

    last = text + sizeof(text);

    va_start(args, fmt);
    p = ngx_vslprintf(text, last, fmt, args);
    va_end(args);

    if (err) {
        p = ngx_log_errno(p, last, err);
    }

    if (vmcf->conf_line) {
        p = ngx_slprintf(p, last, " in %V:%ui", &vmcf->conf_file,
                         vmcf->conf_line);
    }

    ngx_log_error(level, cf->log, 0, "%*s", (size_t) (p - text), text);
}


/*
 * NGX_OK; NGX_DECLINED when "from" cannot be opened or read, with *err and
 * *op saying why; NGX_ERROR, logged, when "to" cannot be written.
 */

static ngx_int_t
ngx_http_vell_copy_file(ngx_conf_t *cf, u_char *from, u_char *to,
    ngx_err_t *err, const char **op)
{
    u_char     *buf;
    ssize_t     n, w, off;
    ngx_fd_t    in, out;
    ngx_int_t   rc;

    in = ngx_open_file(from, NGX_FILE_RDONLY, NGX_FILE_OPEN, 0);
    if (in == NGX_INVALID_FILE) {
        *err = ngx_errno;
        *op = ngx_open_file_n;
        return NGX_DECLINED;
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

            *err = ngx_errno;
            *op = "read()";
            rc = NGX_DECLINED;
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


/*
 * A fresh folder for the copies, where shared objects may be mapped for
 * execution: $TMPDIR (or /tmp), else the filter's own folder, else nginx's
 * prefix.  A file system mounted "noexec" is passed over.
 */

static u_char *
ngx_http_vell_make_dir(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf,
    ngx_str_t *module_dir)
{
    u_char          *dir, *tmp;
    ngx_err_t        err;
    ngx_str_t        where[3];
    ngx_uint_t       i;
    struct statvfs   fs;

    tmp = (u_char *) getenv("TMPDIR");
    if (tmp == NULL || *tmp != '/') {
        tmp = (u_char *) "/tmp";
    }

    where[0].data = tmp;
    where[0].len = ngx_strlen(tmp);
    where[1] = *module_dir;
    where[2] = cf->cycle->prefix;

    err = 0;

    for (i = 0; i < 3; i++) {
        while (where[i].len > 1 && where[i].data[where[i].len - 1] == '/') {
            where[i].len--;
        }

        if (where[i].len == 0) {
            continue;
        }

        dir = ngx_pnalloc(cf->temp_pool, where[i].len + sizeof("/vell.XXXXXX"));
        if (dir == NULL) {
            return NULL;
        }

        ngx_sprintf(dir, "%V%Z", &where[i]);

        if (statvfs((char *) dir, &fs) == 0 && (fs.f_flag & ST_NOEXEC)) {
            continue;
        }

        ngx_sprintf(dir, "%V/vell.XXXXXX%Z", &where[i]);

        if (mkdtemp((char *) dir) != NULL) {
            return dir;
        }

        err = ngx_errno;
    }

    ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, err,
                           "no folder to load a copy of the vell filter "
                           "from: \"%V\", \"%V\" and \"%V\" are mounted "
                           "noexec or refuse a new folder",
                           &where[0], &where[1], &where[2]);

    return NULL;
}


static void
ngx_http_vell_remove_dir(ngx_conf_t *cf, u_char *dir)
{
    DIR            *d;
    u_char          path[NGX_MAX_PATH], *p;
    struct dirent  *de;

    d = opendir((char *) dir);

    if (d) {
        while ((de = readdir(d)) != NULL) {
            if (ngx_strcmp(de->d_name, ".") == 0
                || ngx_strcmp(de->d_name, "..") == 0)
            {
                continue;
            }

            p = ngx_snprintf(path, sizeof(path) - 1, "%s/%s", dir,
                             de->d_name);
            *p = '\0';

            if (ngx_delete_file(path) == NGX_FILE_ERROR) {
                ngx_log_error(NGX_LOG_WARN, cf->log, ngx_errno,
                              ngx_delete_file_n " \"%s\" failed", path);
            }
        }

        closedir(d);
    }

    if (ngx_delete_dir(dir) == NGX_FILE_ERROR) {
        ngx_log_error(NGX_LOG_WARN, cf->log, ngx_errno,
                      ngx_delete_dir_n " \"%s\" failed", dir);
    }
}


static void
ngx_http_vell_unload(void *data)
{
    ngx_http_vell_main_conf_t  *vmcf = data;

    if (vmcf->handle) {
        dlclose(vmcf->handle);
        vmcf->handle = NULL;
        vmcf->proc = NULL;
        vmcf->reopen = NULL;
        vmcf->deciding_rule = NULL;
    }
}


/*
 * The filter starts in the master process, but its audit log is appended to
 * by the workers.  When the master runs as root, the start-up (and a reopen
 * of the log) runs with the workers' user and group as effective ids, so that
 * the files it creates (a fresh audit log after moving the earlier one)
 * belong to the workers.
 */

static ngx_int_t
ngx_http_vell_worker_ids(ngx_cycle_t *cycle, uid_t *uid, gid_t *gid)
{
    struct group     *grp;
    struct passwd    *pwd;
    ngx_core_conf_t  *ccf;

    if (geteuid() != 0) {
        return NGX_DECLINED;
    }

    ccf = (ngx_core_conf_t *) ngx_get_conf(cycle->conf_ctx, ngx_core_module);

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


static gid_t  ngx_http_vell_master_egid;


static ngx_int_t
ngx_http_vell_become(ngx_log_t *log, uid_t uid, gid_t gid)
{
    ngx_http_vell_master_egid = getegid();

    if (setegid(gid) == -1) {
        ngx_log_error(NGX_LOG_EMERG, log, ngx_errno,
                      "setegid(%d) failed", (int) gid);
        return NGX_ERROR;
    }

    if (seteuid(uid) == -1) {
        ngx_log_error(NGX_LOG_EMERG, log, ngx_errno,
                      "seteuid(%d) failed", (int) uid);

        if (setegid(ngx_http_vell_master_egid) == -1) {
            ngx_log_error(NGX_LOG_EMERG, log, ngx_errno,
                          "setegid(%d) failed",
                          (int) ngx_http_vell_master_egid);
            exit(2);
        }

        return NGX_ERROR;
    }

    return NGX_OK;
}


static void
ngx_http_vell_become_root(ngx_log_t *log)
{
    if (seteuid(0) == -1 || setegid(ngx_http_vell_master_egid) == -1) {
        ngx_log_error(NGX_LOG_EMERG, log, ngx_errno,
                      "restoring the master's ids failed");
        exit(2);
    }
}


/*
 * What the filter made of its configuration, as a complaint, or NULL when it
 * has none: the file unread, lines it ignored or weakened, or no rule at all.
 * Without a load report (a filter without VellGetLoadReport), the filter is
 * judged by whether there was a file.  *rules: the rules in force, -1 when
 * not known.
 */

static u_char *
ngx_http_vell_judge(ngx_conf_t *cf, VELL_LOAD_REPORT *report,
    ngx_uint_t have_ini, const char *ini_op, ngx_err_t ini_err,
    u_char *ini_name, u_char *ini_to, ngx_int_t *rules)
{
    u_char            *text, *p, *last, *first;
    size_t             len;
    VELL_LOAD_REPORT   rep;

    len = 2 * VELL_LOAD_TEXT_SIZE + 256;

    text = ngx_pnalloc(cf->temp_pool, len);
    if (text == NULL) {
        return (u_char *) "cannot be judged: out of memory";
    }

    last = text + len - 1;

    *rules = -1;

    if (report) {
        rep = *report;
        *rules = rep.rulesInForce;

    } else {
        ngx_memzero(&rep, sizeof(VELL_LOAD_REPORT));
        rep.configRead = have_ini;
        rep.rulesInForce = 1;
    }

    rep.firstError[VELL_LOAD_TEXT_SIZE - 1] = '\0';

    if (!have_ini) {
        p = ngx_slprintf(text, last, "cannot be read: %s failed", ini_op);
        p = ngx_log_errno(p, last, ini_err);

    } else if (!rep.configRead) {
        p = ngx_slprintf(text, last, "was not read by the filter");

    } else if (rep.errors) {
        /* the filter read a copy; its messages name the operator's file */

        first = (u_char *) rep.firstError;
        len = ngx_strlen(ini_to);

        if (ngx_strncmp(first, ini_to, len) == 0) {
            p = ngx_slprintf(text, last, "has %uD error%s, the first: %s%s",
                             rep.errors, rep.errors == 1 ? "" : "s",
                             ini_name, first + len);

        } else {
            p = ngx_slprintf(text, last, "has %uD error%s, the first: %s",
                             rep.errors, rep.errors == 1 ? "" : "s", first);
        }

    } else if (rep.rulesInForce == 0) {
        p = ngx_slprintf(text, last, "puts no rule in force");

    } else {
        return NULL;
    }

    *p = '\0';

    return text;
}


/*
 * The filter's start-up in a child process, without its audit log, for its
 * load report: a configuration that is going to be refused then leaves no
 * trace, not even a rotated log.  NGX_OK with *report filled; NGX_DECLINED
 * when the trial cannot tell (the start-up proper then says why).
 */

static ngx_int_t
ngx_http_vell_trial(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf,
    ngx_http_vell_version_pt version, ngx_http_vell_options_pt set_options,
    ngx_http_vell_report_pt get_report, VELL_LOAD_REPORT *report)
{
    int                   fd[2], status;
    size_t                got;
    ssize_t               n;
    ngx_pid_t             pid;
    sigset_t              chld, old;
    HTTP_FILTER_VERSION   ver;

    if (pipe(fd) == -1) {
        return NGX_DECLINED;
    }

    /* the master's own SIGCHLD handler would reap the child first */

    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);

    pid = fork();

    if (pid == 0) {
        close(fd[0]);

        ngx_memzero(report, sizeof(VELL_LOAD_REPORT));
        report->cbSize = sizeof(VELL_LOAD_REPORT);
        ngx_memzero(&ver, sizeof(HTTP_FILTER_VERSION));
        ver.dwServerFilterVersion = NGX_HTTP_VELL_REVISION;

        set_options(VELL_START_NO_AUDIT_LOG);

        if ((vmcf->as_worker != NGX_OK
             || (setegid(vmcf->gid) == 0 && seteuid(vmcf->uid) == 0))
            && version(&ver) && get_report(report))
        {
            if (write(fd[1], report, sizeof(VELL_LOAD_REPORT)) == -1) {
                /* the parent learns nothing */
            }
        }

        _exit(0);
    }

    close(fd[1]);

    got = 0;

    while (pid != -1 && got < sizeof(VELL_LOAD_REPORT)) {
        n = read(fd[0], (u_char *) report + got,
                 sizeof(VELL_LOAD_REPORT) - got);

        if (n > 0) {
            got += n;

        } else if (n == 0 || ngx_errno != NGX_EINTR) {
            break;
        }
    }

    close(fd[0]);

    if (pid != -1) {
        while (waitpid(pid, &status, 0) == -1 && ngx_errno == NGX_EINTR) {
            /* void */
        }
    }

    sigprocmask(SIG_SETMASK, &old, NULL);

    if (pid == -1) {
        ngx_log_error(NGX_LOG_WARN, cf->log, ngx_errno, "fork() failed");
    }

    return got == sizeof(VELL_LOAD_REPORT) ? NGX_OK : NGX_DECLINED;
}


static void
ngx_http_vell_refuse_config(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf,
    u_char *ini_name, u_char *problem)
{
    ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, 0,
                           "vell: config \"%s\" %s; refusing to start the "
                           "filter (\"vell check\" lists the problems, "
                           "\"vell_config_errors warn\" accepts them)",
                           ini_name, problem);
}


static BOOL
ngx_http_vell_start(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf,
    ngx_http_vell_version_pt version, HTTP_FILTER_VERSION *ver)
{
    BOOL  ok;

    if (vmcf->as_worker != NGX_OK) {
        return version(ver);
    }

    if (ngx_http_vell_become(cf->log, vmcf->uid, vmcf->gid) != NGX_OK) {
        return FALSE;
    }

    ok = version(ver);

    ngx_http_vell_become_root(cf->log);

    return ok;
}


/*
 * The config.ini the operator edits: where the one beside the filter is a
 * link (the Debian package links it to /etc/vell/config.ini), its target.
 */

static u_char *
ngx_http_vell_config_name(ngx_conf_t *cf, u_char *path)
{
    u_char   *name, target[NGX_MAX_PATH];
    ssize_t   n;

    if (realpath((char *) path, (char *) target) != NULL) {
        n = ngx_strlen(target);

    } else {
        n = readlink((char *) path, (char *) target, sizeof(target) - 1);

        if (n <= 0 || target[0] != '/') {
            return path;
        }
    }

    name = ngx_pnalloc(cf->pool, n + 1);
    if (name == NULL) {
        return path;
    }

    ngx_memcpy(name, target, n);
    name[n] = '\0';

    return name;
}


/*
 * The filter reads config.ini from the folder of the file it was loaded from,
 * and dlopen() of a path already loaded gives back the image already in
 * memory.  So each configuration read loads a fresh private copy of the
 * module, placed next to a copy of the configured folder's config.ini; the
 * copies are removed once the filter has started, the image stays mapped.
 *
 * A configuration the filter cannot use as written would leave requests
 * uninspected, so it fails the load: "nginx -t" says why, and a reload keeps
 * the running workers and their rules.  "vell_config_errors warn" accepts it.
 */

static ngx_int_t
ngx_http_vell_load(ngx_conf_t *cf, ngx_http_vell_main_conf_t *vmcf)
{
    u_char                      *dir, *base, *p, *problem;
    size_t                       dir_len, base_len;
    void                        *handle;
    ngx_err_t                    err, ini_err;
    ngx_str_t                    module_dir;
    ngx_int_t                    rc, result, rules;
    ngx_uint_t                   have_ini;
    const char                  *op, *ini_op, *filter_version;
    u_char                      *copy, *ini_from, *ini_to, *ini_name;
    ngx_pool_cleanup_t          *cln;
    VELL_LOAD_REPORT             report;
    HTTP_FILTER_VERSION          ver;
    ngx_http_vell_version_pt     version;
    ngx_http_vell_proc_pt        proc;
    ngx_http_vell_options_pt     set_options;
    ngx_http_vell_report_pt      get_report;
    ngx_http_vell_text_pt        get_version;
    ngx_http_vell_mask_pt        get_quiet;

    result = NGX_ERROR;
    handle = NULL;
    have_ini = 0;
    ini_err = 0;
    ini_op = NULL;

    p = vmcf->path.data + vmcf->path.len;
    while (p > vmcf->path.data && p[-1] != '/') {
        p--;
    }

    base = p;
    base_len = vmcf->path.data + vmcf->path.len - base;
    dir_len = base - vmcf->path.data;

    if (base_len == 0) {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, 0,
                               "\"%V\" names a folder, not a module file",
                               &vmcf->path);
        return NGX_ERROR;
    }

    ini_from = ngx_pnalloc(cf->pool, dir_len + sizeof("config.ini"));
    if (ini_from == NULL) {
        return NGX_ERROR;
    }

    ngx_sprintf(ini_from, "%*sconfig.ini%Z", dir_len, vmcf->path.data);

    ini_name = ngx_http_vell_config_name(cf, ini_from);

    module_dir.data = vmcf->path.data;
    module_dir.len = dir_len;

    vmcf->as_worker = ngx_http_vell_worker_ids(cf->cycle, &vmcf->uid,
                                               &vmcf->gid);

    dir = ngx_http_vell_make_dir(cf, vmcf, &module_dir);
    if (dir == NULL) {
        return NGX_ERROR;
    }

    copy = ngx_pnalloc(cf->temp_pool, ngx_strlen(dir) + 1 + base_len + 1);
    ini_to = ngx_pnalloc(cf->temp_pool, ngx_strlen(dir) + sizeof("/config.ini"));
    if (copy == NULL || ini_to == NULL) {
        goto done;
    }

    ngx_sprintf(copy, "%s/%*s%Z", dir, base_len, base);
    ngx_sprintf(ini_to, "%s/config.ini%Z", dir);

    rc = ngx_http_vell_copy_file(cf, vmcf->path.data, copy, &err, &op);
    if (rc == NGX_DECLINED) {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, err,
                               "%s \"%V\" failed", op, &vmcf->path);
    }

    if (rc != NGX_OK) {
        goto done;
    }

    rc = ngx_http_vell_copy_file(cf, ini_from, ini_to, &ini_err, &ini_op);
    if (rc == NGX_ERROR) {
        goto done;
    }

    have_ini = (rc == NGX_OK);

    if (!have_ini && vmcf->config_errors == NGX_HTTP_VELL_REFUSE) {
        /* nothing is started for a configuration that cannot be read */

        problem = ngx_http_vell_judge(cf, NULL, 0, ini_op, ini_err, ini_name,
                                      ini_to, &rules);
        ngx_http_vell_refuse_config(cf, vmcf, ini_name, problem);
        goto done;
    }

    if (vmcf->as_worker == NGX_OK
        && (chown((char *) dir, vmcf->uid, vmcf->gid) == -1
            || chown((char *) copy, vmcf->uid, vmcf->gid) == -1
            || (have_ini
                && chown((char *) ini_to, vmcf->uid, vmcf->gid) == -1)))
    {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, ngx_errno,
                               "chown(\"%s\") failed", dir);
        goto done;
    }

    handle = dlopen((char *) copy, RTLD_NOW|RTLD_LOCAL);
    if (handle == NULL) {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, 0,
                               "cannot load the vell filter \"%V\": %s",
                               &vmcf->path, dlerror());
        goto done;
    }

    version = (ngx_http_vell_version_pt) dlsym(handle, "GetFilterVersion");
    proc = (ngx_http_vell_proc_pt) dlsym(handle, "HttpFilterProc");

    if (version == NULL || proc == NULL
        || dlsym(handle, "GetLastError") == NULL)
    {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, 0,
                               "\"%V\" is not a vell filter: it does not "
                               "export GetFilterVersion, HttpFilterProc and "
                               "GetLastError", &vmcf->path);
        goto done;
    }

    /* exports of newer builds; an older one does without them */

    set_options = (ngx_http_vell_options_pt) dlsym(handle,
                                                   "VellSetStartOptions");
    get_report = (ngx_http_vell_report_pt) dlsym(handle, "VellGetLoadReport");
    get_version = (ngx_http_vell_text_pt) dlsym(handle, "VellGetVersion");

    if (set_options && get_report && !ngx_test_config
        && vmcf->config_errors == NGX_HTTP_VELL_REFUSE
        && ngx_http_vell_trial(cf, vmcf, version, set_options, get_report,
                               &report)
           == NGX_OK)
    {
        problem = ngx_http_vell_judge(cf, &report, have_ini, ini_op, ini_err,
                                      ini_name, ini_to, &rules);

        if (problem) {
            ngx_http_vell_refuse_config(cf, vmcf, ini_name, problem);
            goto done;
        }
    }

    if (set_options && ngx_test_config) {
        /* "nginx -t" serves nothing: the audit log is left as it is */
        set_options(VELL_START_NO_AUDIT_LOG);
    }

    ngx_memzero(&ver, sizeof(HTTP_FILTER_VERSION));
    ver.dwServerFilterVersion = NGX_HTTP_VELL_REVISION;

    if (!ngx_http_vell_start(cf, vmcf, version, &ver)) {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_EMERG, 0,
                               "the vell filter \"%V\" refused to start "
                               "(GetFilterVersion() answered false)",
                               &vmcf->path);
        goto done;
    }

    ver.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';

    ngx_memzero(&report, sizeof(VELL_LOAD_REPORT));
    report.cbSize = sizeof(VELL_LOAD_REPORT);

    problem = ngx_http_vell_judge(cf, get_report && get_report(&report)
                                      ? &report : NULL,
                                  have_ini, ini_op, ini_err, ini_name, ini_to,
                                  &rules);

    if (problem && vmcf->config_errors == NGX_HTTP_VELL_REFUSE) {
        ngx_http_vell_refuse_config(cf, vmcf, ini_name, problem);
        goto done;
    }

    if (problem) {
        ngx_http_vell_log_load(cf, vmcf, NGX_LOG_WARN, 0,
                               "vell: config \"%s\" %s; the filter runs as "
                               "it is, as \"vell_config_errors warn\" says",
                               ini_name, problem);
    }

    cln = ngx_pool_cleanup_add(cf->pool, 0);
    if (cln == NULL) {
        goto done;
    }

    vmcf->handle = handle;
    vmcf->proc = proc;
    vmcf->flags = ver.dwFlags;

    /* notifications that do nothing for the loaded config are not made */

    get_quiet = (ngx_http_vell_mask_pt) dlsym(handle,
                                              "VellGetQuietNotifications");
    if (get_quiet) {
        vmcf->flags &= ~(get_quiet()
                         & ~(SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT));
    }

    vmcf->reopen = (ngx_http_vell_reopen_pt) dlsym(handle,
                                                   "VellReopenAuditLog");
    vmcf->deciding_rule = (ngx_http_vell_text_pt) dlsym(handle,
                                                        "VellGetDecidingRule");
    cln->handler = ngx_http_vell_unload;
    cln->data = vmcf;
    handle = NULL;

    if (!problem && !(ngx_test_config && ngx_quiet_mode)) {
        filter_version = get_version ? get_version() : "";

        if (rules >= 0) {
            ngx_log_error(NGX_LOG_NOTICE, cf->log, 0,
                          "vell: filter \"%s\"%s%s loaded from \"%V\" with "
                          "config \"%s\", %i rule%s in force",
                          ver.lpszFilterDesc, *filter_version ? " " : "",
                          filter_version, &vmcf->path, ini_name, rules,
                          rules == 1 ? "" : "s");

        } else {
            ngx_log_error(NGX_LOG_NOTICE, cf->log, 0,
                          "vell: filter \"%s\"%s%s loaded from \"%V\" with "
                          "config \"%s\"",
                          ver.lpszFilterDesc, *filter_version ? " " : "",
                          filter_version, &vmcf->path, ini_name);
        }
    }

    result = NGX_OK;

done:

    if (handle) {
        dlclose(handle);
    }

    ngx_http_vell_remove_dir(cf, dir);

    return result;
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

    vmcf->conf_file.len = cf->conf_file->file.name.len;
    vmcf->conf_file.data = ngx_pstrdup(cf->pool, &cf->conf_file->file.name);
    if (vmcf->conf_file.data == NULL) {
        return NGX_CONF_ERROR;
    }

    vmcf->conf_line = cf->conf_file->line;

    return NGX_CONF_OK;
}


/*
 * The filter is loaded once the http block is read, so that every directive
 * of the block is known: where "vell_filter" names it, or, in a build that
 * knows where the filter is installed, where a "vell on" needs it.
 */

static ngx_int_t
ngx_http_vell_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt        *h;
    ngx_http_core_main_conf_t  *cmcf;
    ngx_http_vell_main_conf_t  *vmcf;

    vmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_vell_module);

    if (vmcf->path.len == 0) {
#ifdef NGX_HTTP_VELL_FILTER_PATH
        if (!vmcf->used) {
            return NGX_OK;
        }

        ngx_str_set(&vmcf->path, NGX_HTTP_VELL_FILTER_PATH);
#else
        return NGX_OK;
#endif
    }

    if (ngx_http_vell_is_signaller()) {
        return NGX_OK;
    }

    if (ngx_http_vell_load(cf, vmcf) != NGX_OK) {
        return NGX_ERROR;
    }

    cmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    /*
     * The server-rewrite phase comes before a location is chosen and after
     * the realip module set the client's address (post-read handlers run in
     * the reverse order of their registration, so a dynamic module's would
     * run first).
     */

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_SERVER_REWRITE_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vell_server_rewrite_handler;

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_REWRITE_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vell_rewrite_handler;

    if (vmcf->flags & SF_NOTIFY_LOG) {
        h = ngx_array_push(&cmcf->phases[NGX_HTTP_LOG_PHASE].handlers);
        if (h == NULL) {
            return NGX_ERROR;
        }

        *h = ngx_http_vell_log_handler;
    }

    ngx_http_next_header_filter = ngx_http_top_header_filter;
    ngx_http_top_header_filter = ngx_http_vell_header_filter;

    return NGX_OK;
}


/*
 * "nginx -s reopen": nginx reopens the files of its cycle, in the master and
 * then in every worker, and calls each file's flush handler first.  The
 * filter's audit log is reopened from the flush handler of one of nginx's own
 * log files that has none.  A worker that exits flushes its files too; that
 * is no reason to reopen.
 */

static void
ngx_http_vell_reopen(ngx_open_file_t *file, ngx_log_t *log)
{
    BOOL                        ok;
    ngx_http_vell_main_conf_t  *vmcf;

    if (ngx_exiting || ngx_quit || ngx_terminate) {
        return;
    }

    vmcf = ngx_http_cycle_get_module_main_conf((ngx_cycle_t *) ngx_cycle,
                                               ngx_http_vell_module);

    if (vmcf == NULL || vmcf->reopen == NULL) {
        return;
    }

    if (ngx_process != NGX_PROCESS_WORKER && vmcf->as_worker == NGX_OK) {
        if (ngx_http_vell_become(log, vmcf->uid, vmcf->gid) != NGX_OK) {
            return;
        }

        ok = vmcf->reopen();

        ngx_http_vell_become_root(log);

    } else {
        ok = vmcf->reopen();
    }

    if (!ok) {
        ngx_log_error(NGX_LOG_ALERT, log, 0,
                      "vell: the audit log could not be reopened");
    }
}


static ngx_int_t
ngx_http_vell_init_module(ngx_cycle_t *cycle)
{
    ngx_uint_t                  i;
    ngx_list_part_t            *part;
    ngx_open_file_t            *file;
    ngx_http_vell_main_conf_t  *vmcf;

    vmcf = ngx_http_cycle_get_module_main_conf(cycle, ngx_http_vell_module);

    if (vmcf == NULL || vmcf->reopen == NULL) {
        return NGX_OK;
    }

    /* the "user" directive is known by now, wherever it was written */

    vmcf->as_worker = ngx_http_vell_worker_ids(cycle, &vmcf->uid, &vmcf->gid);

    part = &cycle->open_files.part;
    file = part->elts;

    for (i = 0; /* void */ ; i++) {

        if (i >= part->nelts) {
            if (part->next == NULL) {
                break;
            }

            part = part->next;
            file = part->elts;
            i = 0;
        }

        if (file[i].name.len && file[i].flush == NULL) {
            file[i].flush = ngx_http_vell_reopen;
            return NGX_OK;
        }
    }

    ngx_log_error(NGX_LOG_NOTICE, cycle->log, 0,
                  "vell: nginx has no log file of its own here, so "
                  "\"nginx -s reopen\" does not reopen the audit log");

    return NGX_OK;
}


/* per-connection and per-request state */


/*
 * The session of a request: the client connection's, or on HTTP/2 the
 * stream's, whose request pool lives as long as the stream.
 */

static ngx_http_vell_session_t *
ngx_http_vell_get_session(ngx_http_request_t *r,
    ngx_http_vell_main_conf_t *vmcf)
{
    ngx_pool_t               *pool;
    ngx_connection_t         *c;
    ngx_pool_cleanup_t       *cln;
    ngx_http_vell_session_t  *s;

    c = r->connection;
    pool = c->pool;

#if (NGX_HTTP_V2)
    if (r->stream) {
        pool = r->pool;
    }
#endif

    for (cln = pool->cleanup; cln; cln = cln->next) {
        if (cln->handler == ngx_http_vell_session_cleanup) {
            return cln->data;
        }
    }

    cln = ngx_pool_cleanup_add(pool, sizeof(ngx_http_vell_session_t));
    if (cln == NULL) {
        return NULL;
    }

    s = cln->data;
    ngx_memzero(s, sizeof(ngx_http_vell_session_t));

    s->vmcf = vmcf;
    s->pool = pool;
    s->addr.data = s->addr_text;
    s->port.data = s->port_text;

#if (NGX_HTTP_SSL)
    s->secure = (c->ssl != NULL);
#endif

    if (ngx_connection_local_sockaddr(c, NULL, 0) == NGX_OK) {
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

    ctx->session = ngx_http_vell_get_session(r, vmcf);
    if (ctx->session == NULL) {
        return NULL;
    }

    /* the client as this request has it (the realip module may have set
     * it), kept for the end of the session, when there is no request */

    ctx->session->addr.len = ngx_min(r->connection->addr_text.len,
                                     NGX_SOCKADDR_STRLEN);
    ngx_memcpy(ctx->session->addr_text, r->connection->addr_text.data,
               ctx->session->addr.len);

    /* the request line stays where it is for the request's life */

    ctx->url = r->unparsed_uri;

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
 * Repeated headers reach the filter as one, their values joined in the order
 * received: by ", " as HTTP joins list headers, cookies by "; ".
 */

static ngx_str_t *
ngx_http_vell_separator(u_char *name, size_t len)
{
    static ngx_str_t  comma = ngx_string(", ");
    static ngx_str_t  semicolon = ngx_string("; ");

    if (len == sizeof("cookie") - 1
        && ngx_strncasecmp(name, (u_char *) "cookie", len) == 0)
    {
        return &semicolon;
    }

    return &comma;
}


/*
 * Writes (dst != NULL) or measures (dst == NULL) the values of the headers
 * called name, joined.  With var set, name is in server variable form:
 * capitals, "_" for "-".  Returns NGX_DECLINED when there is none.
 */

static ssize_t
ngx_http_vell_find_headers(ngx_list_t *list, u_char *name, size_t len,
    ngx_uint_t var, u_char *dst)
{
    size_t            n, i, k;
    u_char            c;
    ngx_str_t        *sep;
    ngx_uint_t        found;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    n = 0;
    found = 0;
    sep = NULL;

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
                if (sep == NULL) {
                    sep = ngx_http_vell_separator(h[i].key.data, len);
                }

                if (dst) {
                    dst = ngx_cpymem(dst, sep->data, sep->len);
                }

                n += sep->len;
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


/* "ALL_RAW": the request headers as the client sent them, CR LF ended */

static size_t
ngx_http_vell_all_raw(ngx_http_request_t *r, u_char *dst)
{
    size_t            n, i;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    n = 0;

    for (part = &r->headers_in.headers.part; part; part = part->next) {
        h = part->elts;

        for (i = 0; i < part->nelts; i++) {
            if (h[i].hash == 0) {
                continue;
            }

            n += h[i].key.len + 2 + h[i].value.len + 2;

            if (dst) {
                dst = ngx_cpymem(dst, h[i].key.data, h[i].key.len);
                *dst++ = ':'; *dst++ = ' ';
                dst = ngx_cpymem(dst, h[i].value.data, h[i].value.len);
                *dst++ = CR; *dst++ = LF;
            }
        }
    }

    return n;
}


typedef struct {
    ngx_table_elt_t                 *h;
    ngx_uint_t                       pos;    /* place among the headers */
} ngx_http_vell_header_t;


typedef struct {
    ngx_http_vell_header_t          *first; /* in name order */
    ngx_uint_t                       count;
} ngx_http_vell_name_t;


static ngx_uint_t
ngx_http_vell_same_name(ngx_table_elt_t *a, ngx_table_elt_t *b)
{
    return a->key.len == b->key.len
           && ngx_strncasecmp(a->key.data, b->key.data, a->key.len) == 0;
}


static int ngx_libc_cdecl
ngx_http_vell_cmp_names(const void *one, const void *two)
{
    ngx_int_t                rc;
    ngx_http_vell_header_t  *a, *b;

    a = (ngx_http_vell_header_t *) one;
    b = (ngx_http_vell_header_t *) two;

    rc = ngx_strncasecmp(a->h->key.data, b->h->key.data,
                         ngx_min(a->h->key.len, b->h->key.len));

    if (rc == 0) {
        rc = (ngx_int_t) a->h->key.len - (ngx_int_t) b->h->key.len;
    }

    if (rc == 0) {
        rc = (ngx_int_t) a->pos - (ngx_int_t) b->pos;
    }

    return rc < 0 ? -1 : (rc > 0);
}


static int ngx_libc_cdecl
ngx_http_vell_cmp_first(const void *one, const void *two)
{
    ngx_http_vell_name_t  *a, *b;

    a = (ngx_http_vell_name_t *) one;
    b = (ngx_http_vell_name_t *) two;

    return a->first->pos < b->first->pos ? -1
                                         : (a->first->pos > b->first->pos);
}


/*
 * "ALL_HTTP": each request header name once, as HTTP_NAME:value and a line
 * feed, in the order the names first came, the values of a repeated name
 * joined.  Built once per request and kept until a request header changes.
 */

static u_char *
ngx_http_vell_put_http_name(u_char *p, ngx_str_t *key)
{
    u_char  c;
    size_t  k;

    p = ngx_cpymem(p, "HTTP_", sizeof("HTTP_") - 1);

    for (k = 0; k < key->len; k++) {
        c = key->data[k];
        *p++ = (c == '-') ? '_' : ngx_toupper(c);
    }

    *p++ = ':';

    return p;
}


/*
 * The usual case: a few headers, in one part of the list, no name twice.
 * Then they are written in their order, without sorting; NGX_DECLINED
 * otherwise.
 */

static ngx_int_t
ngx_http_vell_all_http_in_order(ngx_http_request_t *r, ngx_str_t *out)
{
    u_char           *p;
    size_t            len;
    ngx_uint_t        i, j;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    part = &r->headers_in.headers.part;

    if (part->next != NULL || part->nelts > 32) {
        return NGX_DECLINED;
    }

    h = part->elts;
    len = 0;

    for (i = 0; i < part->nelts; i++) {
        if (h[i].hash == 0) {
            continue;
        }

        for (j = 0; j < i; j++) {
            if (h[j].hash && ngx_http_vell_same_name(&h[i], &h[j])) {
                return NGX_DECLINED;
            }
        }

        len += sizeof("HTTP_") - 1 + h[i].key.len + 1 + h[i].value.len + 1;
    }

    p = ngx_pnalloc(r->pool, len + 1);
    if (p == NULL) {
        return NGX_ERROR;
    }

    out->data = p;

    for (i = 0; i < part->nelts; i++) {
        if (h[i].hash == 0) {
            continue;
        }

        p = ngx_http_vell_put_http_name(p, &h[i].key);
        p = ngx_cpymem(p, h[i].value.data, h[i].value.len);
        *p++ = LF;
    }

    out->len = p - out->data;

    return NGX_OK;
}


static ngx_int_t
ngx_http_vell_all_http(ngx_http_request_t *r, ngx_str_t *out)
{
    u_char                  *p;
    size_t                   len;
    ngx_int_t                rc;
    ngx_str_t               *sep;
    ngx_uint_t               n, i, j, names;
    ngx_list_part_t         *part;
    ngx_table_elt_t         *h;
    ngx_http_vell_name_t    *name;
    ngx_http_vell_header_t  *all;

    rc = ngx_http_vell_all_http_in_order(r, out);
    if (rc != NGX_DECLINED) {
        return rc;
    }

    n = 0;

    for (part = &r->headers_in.headers.part; part; part = part->next) {
        n += part->nelts;
    }

    all = ngx_palloc(r->pool, (n + 1) * sizeof(ngx_http_vell_header_t));
    name = ngx_palloc(r->pool, (n + 1) * sizeof(ngx_http_vell_name_t));
    if (all == NULL || name == NULL) {
        return NGX_ERROR;
    }

    n = 0;

    for (part = &r->headers_in.headers.part; part; part = part->next) {
        h = part->elts;

        for (i = 0; i < part->nelts; i++) {
            if (h[i].hash) {
                all[n].h = &h[i];
                all[n].pos = n;
                n++;
            }
        }
    }

    /* name order brings each name's headers together, in their order */

    if (n > 1) {
        ngx_qsort(all, n, sizeof(ngx_http_vell_header_t),
                  ngx_http_vell_cmp_names);
    }

    names = 0;
    len = 0;

    for (i = 0; i < n; i = j) {
        sep = ngx_http_vell_separator(all[i].h->key.data, all[i].h->key.len);

        len += sizeof("HTTP_") - 1 + all[i].h->key.len + 1
               + all[i].h->value.len + 1;

        for (j = i + 1; j < n && ngx_http_vell_same_name(all[i].h, all[j].h);
             j++)
        {
            len += sep->len + all[j].h->value.len;
        }

        name[names].first = &all[i];
        name[names].count = j - i;
        names++;
    }

    if (names > 1) {
        ngx_qsort(name, names, sizeof(ngx_http_vell_name_t),
                  ngx_http_vell_cmp_first);
    }

    p = ngx_pnalloc(r->pool, len + 1);
    if (p == NULL) {
        return NGX_ERROR;
    }

    out->data = p;

    for (i = 0; i < names; i++) {
        h = name[i].first->h;
        sep = ngx_http_vell_separator(h->key.data, h->key.len);

        p = ngx_http_vell_put_http_name(p, &h->key);

        for (j = 0; j < name[i].count; j++) {
            if (j) {
                p = ngx_cpymem(p, sep->data, sep->len);
            }

            p = ngx_cpymem(p, name[i].first[j].h->value.data,
                           name[i].first[j].h->value.len);
        }

        *p++ = LF;
    }

    out->len = p - out->data;

    return NGX_OK;
}


/* a value built in place: measured first, then written straight into buf */

/* with a list: the headers called name (var: in variable form); without:
 * every request header, "ALL_RAW" style */

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
        n = ngx_http_vell_all_raw(r, NULL);
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
        (void) ngx_http_vell_all_raw(r, buf);
    }

    ((u_char *) buf)[n] = '\0';
    *size = (DWORD) n + 1;

    return TRUE;
}


/* a comparison of known length, which the compiler does in place */
#define ngx_http_vell_is(name, len, text)                                     \
    ((len) == sizeof(text) - 1 && ngx_memcmp(name, text, sizeof(text) - 1) == 0)


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
    name = (u_char *) var;
    len = ngx_strlen(name);

    /*
     * The client's address is read from the request every time: the realip
     * module may have set it, and one proxy's connection carries many
     * clients.  Without a request (the session ended), the session's copy.
     */

    if (ngx_http_vell_is(name, len, "REMOTE_ADDR")
        || ngx_http_vell_is(name, len, "REMOTE_HOST"))
    {
        return ngx_http_vell_answer(r ? &r->connection->addr_text : &s->addr,
                                    buf, size);
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

    c = r->connection;

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
        if (call->ctx == NULL) {
            return FALSE;
        }

        if (call->ctx->all_http.data == NULL
            && ngx_http_vell_all_http(r, &call->ctx->all_http) != NGX_OK)
        {
            return FALSE;
        }

        return ngx_http_vell_answer(&call->ctx->all_http, buf, size);
    }

    if (ngx_http_vell_is(name, len, "ALL_RAW")) {
        return ngx_http_vell_answer_built(r, NULL, 0, NULL, 0, buf, size);
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
        ngx_str_null(&call->ctx->all_http);

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

    /* memory lives as long as the session; none once it is closing */

    if (call->request == NULL) {
        return NULL;
    }

    return ngx_pcalloc(call->session->pool, size ? size : 1);
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


/*
 * A refusal gets a small page of the module's own, which names no server
 * software, unless an "error_page" is set for its status: nginx serves that.
 * A redirection status, and 444 (close the connection), are nginx's to answer.
 */

static ngx_int_t
ngx_http_vell_refuse(ngx_http_request_t *r, ngx_uint_t status)
{
    u_char                    *p;
    ngx_str_t                  type;
    ngx_uint_t                 i;
    ngx_http_err_page_t       *err_page;
    ngx_http_complex_value_t   cv;
    ngx_http_core_loc_conf_t  *clcf;

    if (status < NGX_HTTP_BAD_REQUEST || status == NGX_HTTP_CLOSE) {
        return status;
    }

    clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

    if (clcf->error_pages) {
        err_page = clcf->error_pages->elts;

        for (i = 0; i < clcf->error_pages->nelts; i++) {
            if (err_page[i].status == (ngx_int_t) status) {
                return status;
            }
        }
    }

    p = ngx_pnalloc(r->pool, 128);
    if (p == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_memzero(&cv, sizeof(ngx_http_complex_value_t));

    cv.value.data = p;
    cv.value.len = ngx_snprintf(p, 128,
                                "<html>" CRLF
                                "<head><title>%ui Request refused</title>"
                                "</head>" CRLF
                                "<body>" CRLF
                                "<h1>%ui Request refused</h1>" CRLF
                                "</body>" CRLF
                                "</html>" CRLF, status, status)
                   - p;

    ngx_str_set(&type, "text/html");

    return ngx_http_send_response(r, status, &type, &cv);
}


static ngx_int_t
ngx_http_vell_inspect(ngx_http_request_t *r, ngx_http_vell_ctx_t *ctx,
    ngx_uint_t late)
{
    DWORD                       rc;
    u_char                     *rule;
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
        rule = vmcf->deciding_rule ? (u_char *) vmcf->deciding_rule() : NULL;

        if (rule && *rule) {
            ngx_log_error(vlcf->deny_log_level, r->connection->log, 0,
                          "vell: request refused by \"%s\"", rule);

        } else {
            ngx_log_error(vlcf->deny_log_level, r->connection->log, 0,
                          "vell: request refused");
        }

        return ngx_http_vell_refuse(r, vlcf->deny_status);

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
ngx_http_vell_server_rewrite_handler(ngx_http_request_t *r)
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


/* the strings of the log record, NUL-terminated, from one allocation */

static const CHAR *
ngx_http_vell_put(u_char **p, ngx_str_t *s)
{
    u_char  *start;

    start = *p;
    *p = ngx_cpymem(start, s->data, s->len);
    *(*p)++ = '\0';

    return (const CHAR *) start;
}


static ngx_int_t
ngx_http_vell_log_handler(ngx_http_request_t *r)
{
    u_char                     *p;
    ngx_str_t                  *server;
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

    server = r->headers_in.server.len ? &r->headers_in.server
                                      : &cscf->server_name;

    p = ngx_pnalloc(r->pool, r->connection->addr_text.len
                             + r->headers_in.user.len + server->len
                             + r->method_name.len + r->uri.len + r->args.len
                             + 6);
    if (p == NULL) {
        return NGX_OK;
    }

    ngx_memzero(&log, sizeof(HTTP_FILTER_LOG));

    log.pszClientHostName = ngx_http_vell_put(&p, &r->connection->addr_text);
    log.pszClientUserName = ngx_http_vell_put(&p, &r->headers_in.user);
    log.pszServerName = ngx_http_vell_put(&p, server);
    log.pszOperation = ngx_http_vell_put(&p, &r->method_name);
    log.pszTarget = ngx_http_vell_put(&p, &r->uri);
    log.pszParameters = ngx_http_vell_put(&p, &r->args);
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
