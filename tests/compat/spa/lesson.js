export function render(data, image) {
    const el = document.createElement('div');
    el.className = 'lesson';
    el.textContent = data.title;
    const img = el.appendChild(new Image());
    document.body.appendChild(el);
    return new Promise(function (resolve) {
        img.onload = img.onerror = function () { resolve(el); };
        img.src = image;
    });
}
