window.dotsRan = (window.dotsRan || 0) + 1;
