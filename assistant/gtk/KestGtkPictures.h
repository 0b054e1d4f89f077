// The desktop wizard's pictures and icons at the screen's scale, and which
// style (light or dark) they are drawn for.
//
// Every picture is compiled in as NAME.png and, twice as large, NAME@2.png.
// A widget shown through KestShowPicture takes the one that matches its
// scale factor and takes the other when the factor changes (the window
// moved to another screen), so it stays sharp at the same size.
//
// Not here: choosing the style itself (KestColorScheme).
#pragma once

#include <gtk/gtk.h>

#include <string>

// The resource of picture `name` for a scale factor: NAME@2.png from 2 up,
// when there is one, else NAME.png; an empty string when neither exists.
std::string KestPictureResource(const std::string& name, int scale);

// Shows picture `name` in a GtkPicture or GtkImage at NAME.png's size, drawn
// from the source that fits the widget's scale, now and whenever the scale
// changes. An empty or unknown name clears it.
void KestShowPicture(GtkWidget* widget, const std::string& name);

// The picture as a cairo surface to paint at NAME.png's size (its device
// scale set accordingly); null when there is none. The caller owns it.
cairo_surface_t* KestLoadPictureSurface(const std::string& name, int scale);

// Whether the style in use is a dark one: the theme asked for by GTK_THEME,
// or GTK's settings (a "-dark" theme, or dark preferred).
bool KestStyleIsDark();
