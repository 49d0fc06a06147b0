#include "describe.h"
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void DescAppend(char *out, size_t cap, const char *fmt, ...)
{
    size_t len = strlen(out);
    va_list ap;
    if (len + 1 >= cap) return;
    va_start(ap, fmt);
    _vsnprintf(out + len, cap - len - 1, fmt, ap);
    va_end(ap);
    out[cap - 1] = 0;
}

void DescAppendEscaped(char *out, size_t cap, const char *text)
{
    const unsigned char *p;
    for (p = (const unsigned char *)text; *p; ++p) {
        unsigned c = *p;
        if (c == '\n') DescAppend(out, cap, "\\n");
        else if (c == '\r') DescAppend(out, cap, "\\r");
        else if (c == '\t') DescAppend(out, cap, "\\t");
        else if (c == '\\') DescAppend(out, cap, "\\\\");
        else if (c == '"') DescAppend(out, cap, "\\\"");
        else if (c < 0x20 || c >= 0x7F) DescAppend(out, cap, "\\x%02X", c);
        else DescAppend(out, cap, "%c", (char)c);
    }
}

static void AppendQuoted(char *out, size_t cap, const char *text)
{
    DescAppend(out, cap, "\"");
    DescAppendEscaped(out, cap, text);
    DescAppend(out, cap, "\"");
}

/* Which of the system icons a message box shows, told apart by handle: inside
   the process LoadIcon(NULL, ...) returns the same shared handle the box uses. */
static const char *IconName(HICON icon)
{
    static const struct { LPCSTR id; const char *name; } icons[] = {
        { IDI_ASTERISK, "information" }, { IDI_QUESTION, "question" },
        { IDI_EXCLAMATION, "warning" }, { IDI_HAND, "error" },
        { IDI_APPLICATION, "application" },
    };
    size_t i;
    if (!icon) return "none";
    for (i = 0; i < sizeof icons / sizeof icons[0]; ++i)
        if (LoadIconA(NULL, icons[i].id) == icon) return icons[i].name;
    return "other";
}

typedef struct {
    char *out;
    size_t cap;
    HWND top;
    int inside;
    int baseX, baseY;
    const char *icon;
} DescribeCtx;

static int FontWeight(HWND ctl)
{
    LOGFONTA lf;
    HFONT font = (HFONT)SendMessageA(ctl, WM_GETFONT, 0, 0);
    if (!font) return 0; /* the system font */
    if (GetObjectA(font, sizeof lf, &lf) != sizeof lf) return -1;
    return (int)lf.lfWeight;
}

static BOOL CALLBACK DescribeChild(HWND ctl, LPARAM param)
{
    DescribeCtx *ctx = (DescribeCtx *)param;
    char cls[64] = "", text[2048] = "";
    LONG style = GetWindowLongA(ctl, GWL_STYLE);
    int id = GetDlgCtrlID(ctl);
    RECT r;
    if (GetParent(ctl) != ctx->top) return TRUE; /* direct children only */
    GetClassNameA(ctl, cls, sizeof cls);
    GetWindowTextA(ctl, text, sizeof text);
    DescAppend(ctx->out, ctx->cap, " [%s id=%d text=", cls, id);
    AppendQuoted(ctx->out, ctx->cap, text);
    if (!lstrcmpiA(cls, "Button")) {
        LONG type = style & 0x0F;
        DescAppend(ctx->out, ctx->cap, " %s", type == BS_DEFPUSHBUTTON ? "default" :
                   type == BS_PUSHBUTTON ? "push" : "other");
    } else if (!lstrcmpiA(cls, "Static") && (style & 0x1F) == SS_ICON) {
        HICON icon = (HICON)SendMessageA(ctl, STM_GETICON, 0, 0);
        DescAppend(ctx->out, ctx->cap, " icon");
        if (ctx->inside) ctx->icon = IconName(icon);
    }
    DescAppend(ctx->out, ctx->cap, " %s%s", IsWindowEnabled(ctl) ? "enabled" : "disabled",
               (style & WS_VISIBLE) ? "" : " hidden");
    GetWindowRect(ctl, &r);
    MapWindowPoints(NULL, ctx->top, (POINT *)&r, 2);
    if (ctx->inside && ctx->baseX > 0 && ctx->baseY > 0) {
        /* pixels back to dialog units, rounded to the nearest unit */
        int x = (r.left * 4 + ctx->baseX / 2) / ctx->baseX;
        int y = (r.top * 8 + ctx->baseY / 2) / ctx->baseY;
        int w = ((r.right - r.left) * 4 + ctx->baseX / 2) / ctx->baseX;
        int h = ((r.bottom - r.top) * 8 + ctx->baseY / 2) / ctx->baseY;
        DescAppend(ctx->out, ctx->cap, " dlu=%d,%d,%d,%d", x, y, w, h);
        DescAppend(ctx->out, ctx->cap, " weight=%d", FontWeight(ctl));
    } else {
        DescAppend(ctx->out, ctx->cap, " px=%ld,%ld,%ld,%ld", r.left, r.top,
                   r.right - r.left, r.bottom - r.top);
    }
    DescAppend(ctx->out, ctx->cap, "]");
    return TRUE;
}

void DescribeWindow(HWND hwnd, int inside, char *out, size_t cap)
{
    char cls[64] = "", caption[1024] = "", ownerCls[64] = "none", text[4096] = "";
    HWND owner = GetWindow(hwnd, GW_OWNER);
    HWND textCtl = GetDlgItem(hwnd, 0xFFFF);
    DescribeCtx ctx;
    char controls[DESCRIBE_MAX];
    RECT screen;

    if (!textCtl) textCtl = GetDlgItem(hwnd, 1000);
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, caption, sizeof caption);
    if (owner) GetClassNameA(owner, ownerCls, sizeof ownerCls);
    if (textCtl) GetWindowTextA(textCtl, text, sizeof text);

    memset(&ctx, 0, sizeof ctx);
    controls[0] = 0;
    ctx.out = controls;
    ctx.cap = sizeof controls;
    ctx.top = hwnd;
    ctx.inside = inside;
    ctx.icon = inside ? "none" : "unknown";
    if (inside) {
        RECT base = { 0, 0, 4, 8 };
        if (MapDialogRect(hwnd, &base)) {
            ctx.baseX = base.right;
            ctx.baseY = base.bottom;
        }
    }
    EnumChildWindows(hwnd, DescribeChild, (LPARAM)&ctx);

    out[0] = 0;
    DescAppend(out, cap, "window class=");
    AppendQuoted(out, cap, cls);
    DescAppend(out, cap, " caption=");
    AppendQuoted(out, cap, caption);
    DescAppend(out, cap, " text=");
    AppendQuoted(out, cap, text);
    DescAppend(out, cap, " owner=");
    AppendQuoted(out, cap, ownerCls);
    GetWindowRect(hwnd, &screen);
    DescAppend(out, cap, " icon=%s weight=%d inside=%d screen=%ld,%ld,%ld,%ld controls=%s", ctx.icon,
               inside ? FontWeight(hwnd) : -2, inside, screen.left, screen.top, screen.right,
               screen.bottom, controls);
}
