/* A generated GTK 3 window for the benchmark: a scrolled form of N rows, each a label, an entry,
 * a button and a check button (4 N widgets). Usage: computer-use-linux-wide-form [rows] */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  int rows = argc > 1 ? atoi(argv[1]) : 500;
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Wide Form");
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  GtkWidget* scrolled = gtk_scrolled_window_new(NULL, NULL);
  GtkWidget* grid = gtk_grid_new();
  char text[64];
  for (int i = 0; i < rows; ++i) {
    snprintf(text, sizeof text, "Row %d", i);
    gtk_grid_attach(GTK_GRID(grid), gtk_label_new(text), 0, i, 1, 1);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), text);
    gtk_grid_attach(GTK_GRID(grid), entry, 1, i, 1, 1);
    snprintf(text, sizeof text, "Apply %d", i);
    gtk_grid_attach(GTK_GRID(grid), gtk_button_new_with_label(text), 2, i, 1, 1);
    snprintf(text, sizeof text, "On %d", i);
    gtk_grid_attach(GTK_GRID(grid), gtk_check_button_new_with_label(text), 3, i, 1, 1);
  }
  gtk_container_add(GTK_CONTAINER(scrolled), grid);
  gtk_container_add(GTK_CONTAINER(window), scrolled);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
