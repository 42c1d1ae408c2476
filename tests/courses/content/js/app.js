window.appLoaded = true;
