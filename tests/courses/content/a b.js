window.spacedRan = true;
