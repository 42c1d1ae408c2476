export const answer = 'imported';
