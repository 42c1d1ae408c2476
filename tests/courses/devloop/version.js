window.VERSION = 1;
