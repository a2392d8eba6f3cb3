// Library load and unload (filled in with the application object).
