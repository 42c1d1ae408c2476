// A bundler-built app (esbuild at test set-up): CSS and an image through the
// bundler, a lesson module by dynamic import(), its data by fetch().
import './style.css';
import pixel from '../../courses/content/img/pixel.png';

export async function start() {
    const { render } = await import('./lesson.js');
    return render(await (await fetch('data/lesson.json')).json(), new URL(pixel, import.meta.url).href);
}
