// Keeps a module library buildable while its folder is still empty.
