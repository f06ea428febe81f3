#pragma once
// The live map page: one HTML document with its style and script inline, built into the
// program from view_page.html, so it needs no files and no network beyond this server.
extern const char* const VIEW_PAGE;
