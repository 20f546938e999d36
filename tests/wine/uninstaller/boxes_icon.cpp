// Identifies the icon of another process's message box. Icon handles do not cross processes, so
// the icon control's pixels are read from the screen and compared with the system icons as this
// process draws them. Pixels that the icon leaves transparent (which differ when the icon is
// drawn over black and over white) are not compared.
#include "boxes.h"

#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Pixels
// ---------------------------------------------------------------------------------------------

using Pixels = std::vector<DWORD>;

// A 32-bit top-down DIB section of the given size with its memory DC. Owner: the caller, who
// releases it with Release().
struct Canvas {
    HDC Dc = nullptr;
    HBITMAP Bitmap = nullptr;
    HGDIOBJ Previous = nullptr;
    DWORD* Bits = nullptr;
    int Width = 0;
    int Height = 0;

    bool Create(int width, int height)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        Dc = CreateCompatibleDC(nullptr);
        if (!Dc)
            return false;
        void* bits = nullptr;
        Bitmap = CreateDIBSection(Dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!Bitmap)
            return false;
        Previous = SelectObject(Dc, Bitmap);
        Bits = static_cast<DWORD*>(bits);
        Width = width;
        Height = height;
        return true;
    }

    Pixels Copy() const
    {
        GdiFlush();
        Pixels pixels(Bits, Bits + Width * Height);
        for (DWORD& pixel : pixels)
            pixel &= 0x00FFFFFF;
        return pixels;
    }

    void Release()
    {
        if (Previous)
            SelectObject(Dc, Previous);
        if (Bitmap)
            DeleteObject(Bitmap);
        if (Dc)
            DeleteDC(Dc);
    }
};

// Reads what the window shows on the screen. Another process's window DC cannot be read from,
// so the pixels come from the screen at the window's place (there is no window manager, so
// nothing covers the box).
bool CaptureWindow(HWND window, int width, int height, Pixels* out)
{
    RECT place;
    if (!GetWindowRect(window, &place))
        return false;
    Canvas canvas;
    bool ok = false;
    HDC screen = GetDC(nullptr);
    if (screen && canvas.Create(width, height) &&
        BitBlt(canvas.Dc, 0, 0, width, height, screen, place.left, place.top, SRCCOPY)) {
        *out = canvas.Copy();
        ok = true;
    }
    if (screen)
        ReleaseDC(nullptr, screen);
    canvas.Release();
    return ok;
}

// Draws the icon over a plain background of the given colour.
bool RenderIcon(HICON icon, int width, int height, DWORD background, Pixels* out)
{
    Canvas canvas;
    bool ok = false;
    if (canvas.Create(width, height)) {
        for (int i = 0; i < width * height; i++)
            canvas.Bits[i] = background;
        ok = DrawIconEx(canvas.Dc, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL) != FALSE;
        if (ok)
            *out = canvas.Copy();
    }
    canvas.Release();
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Comparison
// ---------------------------------------------------------------------------------------------

struct StandardIcon {
    LPCWSTR Resource;
    const char* Name;
};

const StandardIcon StandardIcons[] = {
    { IDI_HAND, "error" },
    { IDI_EXCLAMATION, "warning" },
    { IDI_ASTERISK, "information" },
    { IDI_QUESTION, "question" },
};

// True when every opaque pixel of the icon is on the screen as drawn.
bool ShowsIcon(const Pixels& screen, LPCWSTR resource, int width, int height)
{
    HICON icon = LoadIconW(nullptr, resource);
    Pixels overBlack;
    Pixels overWhite;
    if (!icon || !RenderIcon(icon, width, height, 0x000000, &overBlack) ||
        !RenderIcon(icon, width, height, 0xFFFFFF, &overWhite))
        return false;

    size_t opaque = 0;
    size_t mismatches = 0;
    for (size_t i = 0; i < screen.size(); i++) {
        if (overBlack[i] != overWhite[i])
            continue;
        opaque++;
        if (overBlack[i] != screen[i])
            mismatches++;
    }
    return opaque > 0 && mismatches == 0;
}

// The first visible icon control of the box that holds an icon, or null. A box without an icon
// may keep an empty icon control.
HWND FindIconControl(HWND box)
{
    HWND child = nullptr;
    while ((child = FindWindowExW(box, child, L"Static", nullptr)) != nullptr) {
        LONG style = GetWindowLongW(child, GWL_STYLE);
        DWORD_PTR icon = 0;
        if ((style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child) &&
            SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_NORMAL, ReplyLimitMs, &icon) && icon)
            return child;
    }
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------------------------

const char* IdentifyBoxIcon(HWND box, DWORD limitMs)
{
    HWND control = FindIconControl(box);
    if (!control)
        return "none";

    RECT area;
    if (!GetClientRect(control, &area) || area.right <= 0 || area.bottom <= 0)
        return "none";

    // The box paints itself asynchronously: read again until the icon is there or time is up.
    DWORD start = GetTickCount();
    do {
        Pixels screen;
        if (CaptureWindow(control, area.right, area.bottom, &screen)) {
            for (const StandardIcon& icon : StandardIcons)
                if (ShowsIcon(screen, icon.Resource, area.right, area.bottom))
                    return icon.Name;
        }
        Sleep(50);
    } while (GetTickCount() - start < limitMs);
    return "unknown";
}
