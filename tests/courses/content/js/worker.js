// Started as a classic and as a module worker: the shell's built-ins and fetch() reach it.
fetch('../data/info.json').then(function (r) { return r.json(); })
    .then(function (data) { postMessage([[1, 2].at(-1), Object.hasOwn(data, 'ok')]); },
          function (e) { postMessage(String(e)); });
