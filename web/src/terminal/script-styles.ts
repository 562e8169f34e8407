// The page's policy forbids inline styles: <style> elements and style attributes. The terminal
// library styles its rows with both, from script. Script may still style through the CSS object
// model, which the policy leaves alone, so what the library means is carried over to it: a
// <style> element made by script becomes a constructed sheet the document adopts, and a style
// attribute set by script becomes the element's declarations. Neither could take effect in this
// page otherwise (the browser would refuse them and log a violation), so nothing else changes.

let installed = false;

export function carryScriptStylesThroughCssom(doc: Document = document): void {
  if (installed) return;
  installed = true;

  const createElement = doc.createElement.bind(doc) as (tag: string, options?: ElementCreationOptions) => HTMLElement;
  doc.createElement = ((tag: string, options?: ElementCreationOptions) =>
    tag.toLowerCase() === 'style' ? adoptedSheetElement(doc, createElement) : createElement(tag, options)) as Document['createElement'];

  const setAttribute = Element.prototype.setAttribute;
  Element.prototype.setAttribute = function (this: Element, name: string, value: string): void {
    if (name.toLowerCase() === 'style' && (this instanceof HTMLElement || this instanceof SVGElement)) {
      this.style.cssText = String(value);
      return;
    }
    setAttribute.call(this, name, value);
  };
}

// Stands where the library puts its <style> element: an inert <template> (never rendered) whose
// text is the adopted sheet's, and whose removal drops the sheet.
function adoptedSheetElement(doc: Document, createElement: (tag: string) => HTMLElement): HTMLElement {
  const element = createElement('template');
  const sheet = new CSSStyleSheet();
  let text = '';
  const setText = (value: unknown) => {
    text = value === null || value === undefined ? '' : String(value);
    sheet.replaceSync(text);
  };
  for (const property of ['textContent', 'innerText', 'innerHTML']) {
    Object.defineProperty(element, property, { get: () => text, set: setText, configurable: true });
  }
  Object.defineProperty(element, 'sheet', { get: () => sheet, configurable: true });
  doc.adoptedStyleSheets = [...doc.adoptedStyleSheets, sheet];
  const remove = element.remove.bind(element);
  element.remove = () => {
    doc.adoptedStyleSheets = doc.adoptedStyleSheets.filter((adopted) => adopted !== sheet);
    remove();
  };
  return element;
}
